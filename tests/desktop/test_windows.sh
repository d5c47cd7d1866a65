#!/bin/bash
# Windows on a desktop (Xvfb), in a world of its own: window activation called
# directly (activation_probe: the hot key, hidden and ended processes);
# "Quenbrax U: -h -a", which brings the windows of the processes that hold the
# volume to the front (each holder once, the top one of its windows, restored
# when minimised); and -hv, which lists only the holders with a visible window.
. "$QB_SOURCE/tests/lib.sh"
deadline 540
on_desktop "$@"
world_up
probe=$QB_BUILD/bin/activation_probe.exe
world_exec "$probe" --gtest_brief=1 </dev/null || fail "activation_probe failed"

# run_case NAME "TARGET ARGS" "QUENBRAX ARGS": a holder of U: (the target)
# behind a cover window, then Quenbrax; holders and watch let go, REPORT has
# the holders' reports (the windows' states) and the probe's counts of HkWin
# windows and injected hot keys.
run_case() {
    case_name=$1
    rm -f "$QB_TMP"/*.rep
    holder_start -p "$probe" --watch "$(winpath "$QB_TMP/watch.rep")"
    holder_start --device U: $2 --report "$(winpath "$QB_TMP/target.rep")"
    target=$HOLDER_PID
    sleep 0.3
    holder_start --window cover --report "$(winpath "$QB_TMP/cover.rep")"
    sleep 0.3
    qb U: $3 -na -w:0
    expect_rc 3
    sleep 1   # the activation reaches the target's thread by a message
    holder_stop_all
    REPORT=$(cat "$QB_TMP"/*.rep | tr -d '\r')
}
has() { grep -qxF -- "$1" <<<"$REPORT" || fail "$case_name: no '$1' in $(cut -c1-80 <<<"$REPORT")"; }
# activated TITLE: the target's window TITLE is in front, restored; the hot key
# was injected once, with one HkWin window.
activated() {
    local window
    window=$(tr -d '\r' <"$QB_TMP/target.rep" | sed -n "s/^window=\(0x[0-9A-F]*\) .* title=$1\$/\1/p")
    sed -n 1,2p "$QB_TMP/target.rep" | tr -d '\r' | tr '\n' ' ' | grep -qx 'foreground=1 minimized=0 ' ||
        fail "$case_name: target not in front or still minimised: $REPORT"
    has "foreground_hwnd=${window:-none}"
    has "hotkeys=1"
    has "hkwin=1"
}
untouched() {
    grep -q "^foreground=1" "$QB_TMP/cover.rep" || fail "$case_name: the cover lost the front: $REPORT"
    has "hotkeys=0"
    has "hkwin=0"
}

run_case "minimised" "--window target --minimized" "-h -a" && activated target
run_case "two windows" "--window lower --window upper" "-h -a" && activated upper
# A process reported with three lines is activated once.
run_case "three lines" "--window target --file U:\docs\a.txt --file U:\docs\b.txt" "-h -a"
activated target
expect_eq "$(out_text | grep -c "^\[$target\] holder.exe")" 3 "report lines of the holder"
run_case "without -a" "--window target" "-h" && untouched

# -hv: only holders with a visible window (-h lists all: golden row report-files).
cp "$QB_BUILD/bin/holder.exe" "$QB_TMP/hidden.exe"
holder_start --device U: --window shown
shown=$HOLDER_PID
holder_start -p "$QB_TMP/hidden.exe" --device U:
qb U: -na -hv
expect_line "[$shown] holder.exe : \\\\.\\U:"
expect_no_text "hidden.exe :"
