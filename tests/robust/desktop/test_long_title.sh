#!/bin/bash
# A window title of 10,000 characters: "Quenbrax U: -h -a" reports the holder
# whose only window carries it and brings that window to the front from behind
# another one; the run ends normally with exit code 3 (the device stays open).
# Runs in the desktop tests' world (world-desktop) inside xvfb-run.
set -u
. "$QB_SOURCE/tests/desktop/desktop_lib.sh"
desktop_world_script 240 "$0" "$@"

tmp=$(mktemp -d)
winpath() { echo "Z:${1//\//\\}"; }
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# start_holder NAME ARGS...: ends when NAME.stop exists, then reports to NAME.rep.
pids=()
start_holder() {
    local name=$1
    shift
    world exec holder "$@" --until "$(winpath "$tmp/$name.stop")" \
        --report "$(winpath "$tmp/$name.rep")" --seconds 120 >"$tmp/$name.out" 2>&1 &
    pids+=($!)
    for _ in $(seq 1 150); do
        grep -q '^pid ' "$tmp/$name.out" 2>/dev/null && { sleep 0.3; return 0; }
        sleep 0.2
    done
    fail "holder $name did not start: $(cut -c1-200 "$tmp/$name.out")"
    return 1
}
rep() { tr -d '\r' <"$tmp/$1.rep" | sed -n "s/^$2=//p" | head -n 1; }

world up --fresh >/dev/null || { echo "FAIL: the world did not come up" >&2; exit 1; }
title=$(printf '%.0sabcdefghij' $(seq 1 1000))
if start_holder target --device U: --window "$title" && start_holder cover --window cover; then
    pid=$(sed -n 's/^pid \([0-9]*\).*/\1/p' "$tmp/target.out" | tr -d '\r')
    timeout 60 "$QB_SOURCE/tools/world" exec quenbrax U: -h -a -na </dev/null >"$tmp/quenbrax.out" 2>&1
    code=$?
    [ $code = 3 ] || fail "exit code $code, expected 3"
    grep -qxF "[$pid] holder.exe : \\\\.\\U:" <(tr -d '\r' <"$tmp/quenbrax.out") ||
        fail "the holder was not reported"
    sleep 1   # the activation reaches the target's thread by a message
fi
touch "$tmp/target.stop" "$tmp/cover.stop"
wait "${pids[@]}"
[ "$(rep target foreground)" = 1 ] || fail "the long-titled window did not come to the front"
[ "$(rep cover foreground)" = 0 ] || fail "the cover stayed in front"
[ "$(tr -d '\r' <"$tmp/target.rep" | sed -n 's/^window=.* title=//p' | wc -c)" = 10001 ] ||
    fail "the window does not carry the whole title"
[ $failures = 0 ] || cat "$tmp/quenbrax.out" >&2
rm -rf "$tmp"
[ $failures = 0 ] && echo "PASS test_long_title.sh"
exit $((failures > 0))
