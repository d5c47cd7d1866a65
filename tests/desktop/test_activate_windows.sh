#!/bin/bash
# "Quenbrax U: -h -a" brings the windows of the processes that hold the volume
# to the front: each holder once, the top one of its windows, restored when
# minimised; holders without a window and runs without -a change nothing.
#
# A world of its own (world-desktop) runs inside xvfb-run. Holders keep the
# volume device U: open, so every dismount is refused and the open-handle
# report runs; a holder without files (the cover) stands for the user's
# current window. window_watch counts HkWin windows and injected hot keys.
set -u
. "$QB_SOURCE/tests/desktop/desktop_lib.sh"
desktop_world_script 540 "$0" "$@"

tmp=$(mktemp -d)
unix_to_win() { echo "Z:${1//\//\\}"; }
failures=0
fail() { echo "FAIL: $case_name: $*" >&2; failures=$((failures + 1)); }

world up --fresh >/dev/null || { echo "FAIL: the world did not come up" >&2; exit 1; }

# start_holder NAME ARGS...: a holder that ends when $tmp/NAME.stop exists and
# then reports to $tmp/NAME.rep; waits until it has opened everything.
start_holder() {
    local name=$1
    shift
    world exec holder "$@" --until "$(unix_to_win "$tmp/$name.stop")" \
        --report "$(unix_to_win "$tmp/$name.rep")" >"$tmp/$name.out" 2>&1 &
    holder_pids+=($!)
    for _ in $(seq 1 150); do
        grep -q '^pid ' "$tmp/$name.out" 2>/dev/null && { sleep 0.3; return 0; }
        sleep 0.2
    done
    fail "holder $name did not start: $(cat "$tmp/$name.out")"
    return 1
}

# end_holders NAME...: lets them go and waits for their reports.
end_holders() {
    local name
    for name in "$@"; do touch "$tmp/$name.stop"; done
    for name in "$@"; do
        for _ in $(seq 1 100); do [ -s "$tmp/$name.rep" ] && break; sleep 0.1; done
    done
    wait "${holder_pids[@]}"
    holder_pids=()
}

# rep NAME KEY: a value from a holder's report; window_of NAME TITLE: a handle.
# The Windows programs write their files with CR LF.
rep() { tr -d '\r' <"$tmp/$1.rep" | sed -n "s/^$2=//p" | head -n 1; }
window_of() { tr -d '\r' <"$tmp/$1.rep" | sed -n "s/^window=\(0x[0-9A-Fa-f]*\) .* title=$2\$/\1/p"; }

start_watch() {
    rm -f "$tmp/watch" "$tmp/watch.stop"
    world exec "$QB_BUILD/bin/window_watch.exe" "$(unix_to_win "$tmp/watch")" \
        "$(unix_to_win "$tmp/watch.stop")" 120 >/dev/null 2>&1 &
    watch_pid=$!
    for _ in $(seq 1 100); do [ -f "$tmp/watch" ] && return 0; sleep 0.1; done
    fail "window_watch did not start"
}
stop_watch() {
    touch "$tmp/watch.stop"
    wait "$watch_pid"
}
watched() { tr -d '\r' <"$tmp/watch" | sed -n "s/^$1=//p"; }

# run_case NAME "HOLDER ARGS" "QUENBRAX ARGS": a holder (called target) behind a
# cover window, then Quenbrax; leaves the reports and the watch counts.
run_case() {
    case_name=$1
    holder_pids=()
    rm -f "$tmp"/*.stop "$tmp"/*.rep
    start_watch
    # shellcheck disable=SC2086
    if ! start_holder target --device U: $2 || ! start_holder cover --window cover; then
        end_holders target cover
        stop_watch
        return 1
    fi
    # shellcheck disable=SC2086
    timeout 120 "$QB_SOURCE/tools/world" exec quenbrax U: $3 -na -w:0 </dev/null >"$tmp/quenbrax.out" 2>&1
    local code=$?
    [ $code = 3 ] || fail "exit code $code, expected 3: $(cat "$tmp/quenbrax.out")"
    grep -q "checking for open handles" "$tmp/quenbrax.out" || fail "no report: $(cat "$tmp/quenbrax.out")"
    sleep 1   # the activation reaches the target's thread by a message
    end_holders target cover
    stop_watch
}

# expect_activated NAME: the one window TITLE of target is in front, restored.
expect_activated() {
    local title=$1
    [ "$(rep target foreground)" = 1 ] || fail "target not in front: $(cat "$tmp/target.rep")"
    [ "$(rep target foreground_hwnd)" = "$(window_of target "$title")" ] ||
        fail "window $title is not the foreground window: $(cat "$tmp/target.rep")"
    [ "$(rep target minimized)" = 0 ] || fail "target still minimised"
    [ "$(rep cover foreground)" = 0 ] || fail "the cover stayed in front"
    [ "$(watched hotkeys)" = 1 ] || fail "hot key injected $(watched hotkeys) times, expected 1"
    [ "$(watched hkwin)" = 1 ] || fail "$(watched hkwin) HkWin windows, expected 1"
}

# expect_untouched: the cover is still in front, no hidden window, no input.
expect_untouched() {
    [ "$(rep cover foreground)" = 1 ] || fail "the cover lost the front: $(cat "$tmp/cover.rep")"
    [ "$(watched hotkeys)" = 0 ] || fail "hot key injected $(watched hotkeys) times"
    [ "$(watched hkwin)" = 0 ] || fail "$(watched hkwin) HkWin windows created"
}

docs='U:\docs'
run_case "behind another window" "--window target" "-h -a" && expect_activated target
run_case "minimised" "--window target --minimized" "-h -a" && expect_activated target
run_case "two windows" "--window lower --window upper" "-h -a" && expect_activated upper
run_case "three handle lines" "--window target --file $docs\\a.txt --file $docs\\b.txt" "-h -a" &&
    expect_activated target
lines=$(grep -c "holder.exe" "$tmp/quenbrax.out")
[ "$lines" = 3 ] || fail "$lines report lines of the holder, expected 3: $(cat "$tmp/quenbrax.out")"
run_case "no window" "" "-h -a" && expect_untouched
grep -q "holder.exe" "$tmp/quenbrax.out" || fail "the holder was not reported: $(cat "$tmp/quenbrax.out")"
run_case "without -a" "--window target" "-h" && expect_untouched
[ "$(rep target foreground)" = 0 ] || fail "the target came to the front without -a"

rm -rf "$tmp"
[ $failures = 0 ] && echo "desktop activation: all cases passed"
exit $((failures > 0))
