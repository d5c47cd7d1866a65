#!/bin/bash
# "Quenbrax U: -hv" lists only the handle holders that have a visible
# top-level window; "-h" lists them all. Under Xvfb, where Wine has windows.
# (Without a display Wine has no visible windows, so -hv lists no handle
# holder at all: tests/system/test_handles.sh.)
set -u
. "$QB_SOURCE/tests/desktop/desktop_lib.sh"
desktop_world_script 400 "$0" "$@"

tmp=$(mktemp -d)
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pids=()
trap 'touch "$tmp/stop"; [ ${#pids[@]} -gt 0 ] && wait "${pids[@]}"; rm -rf "$tmp"' EXIT
stop="Z:${tmp//\//\\}\\stop"

world up --fresh >/dev/null || { echo "FAIL: the world did not come up" >&2; exit 1; }

# start NAME PROGRAM ARGS...: waits until it has opened everything; sets PID.
start() {
    local name=$1
    shift
    world exec "$@" --until "$stop" >"$tmp/$name.out" 2>&1 &
    pids+=($!)
    for _ in $(seq 1 150); do
        PID=$(sed -n 's/^pid \([0-9]*\).*/\1/p' "$tmp/$name.out" 2>/dev/null | head -n 1)
        [ -n "$PID" ] && return 0
        sleep 0.2
    done
    fail "$name did not start: $(cat "$tmp/$name.out")"
    exit 1
}

cp "$QB_BUILD/bin/holder.exe" "$tmp/hidden.exe"
start shown holder --device U: --window shown
shown=$PID
start hidden "$tmp/hidden.exe" --device U:
hidden=$PID

# run ARGS...: Quenbrax with output redirected; OUT holds it without CRs.
run() {
    timeout 120 "$QB_SOURCE/tools/world" exec quenbrax U: "$@" -na -w:0 </dev/null >"$tmp/out" 2>&1
    local code=$?
    OUT=$(tr -d '\r' <"$tmp/out")
    [ $code = 3 ] || fail "$*: exit code $code, expected 3: $OUT"
}

run -hv
grep -qxF "[$shown] holder.exe : \\\\.\\U:" <<<"$OUT" || fail "-hv: the holder with a window is not listed: $OUT"
grep -qF "hidden.exe :" <<<"$OUT" && fail "-hv: the holder without a window is listed: $OUT"
run -h
grep -qxF "[$shown] holder.exe : \\\\.\\U:" <<<"$OUT" || fail "-h: the holder with a window is not listed: $OUT"
grep -qxF "[$hidden] hidden.exe : \\\\.\\U:" <<<"$OUT" || fail "-h: the holder without a window is not listed: $OUT"

[ $failures = 0 ] && echo "desktop -hv: all cases passed"
exit $((failures > 0))
