#!/bin/bash
# Keys during the eject of every volume ("*") on a real console, with T: and
# U: held and V: free: F in T:'s loop forces T: and every later volume; Esc
# there cancels T: and leaves U: and V: untried and mounted. The summary line
# has the colours of one outcome (Wine: 10 as SGR 92, 12 as 91).
. "$QB_SOURCE/tests/lib.sh"
deadline 300

# start NAME: "Quenbrax * -na -l" in a pane; returns once T:'s loop refused.
start() {
    world_up
    holder_start --device T:
    holder_start --device U:
    requests >/dev/null
    term_start "$1" 100 40 "$QB_BUILD/bin/Quenbrax.exe" '*' -na -l
    term_wait "$1" "TrueCrypt: FILES_OPEN." 60 || die "$1: the loop did not start"
}
# The requests' X:F:A words since the last call.
asked() { requests | awk '{ printf "%s%s", s, $2; s = " " }'; }

start force
term_keys force f
summary="ejected 3 of 3 volumes (2 by force)"
term_wait force "$summary" 60 || fail "F: no summary"
expect_eq "$(term_exit_status force 30)" 1 "F: exit code"
log=$(asked)
# T: forced in its loop; U: at its third try, as -f would; V: free.
[[ $log == *"T:0:6 T:1:0 U:0:6 U:0:6 U:0:6 U:1:0 V:0:0" && $log != *":1:"*":1:"*":1:"* ]] ||
    fail "F: requests $log"
expect_eq "$(term_capture force | grep -c '^success (by force)')" 2 "F: volumes by force"
expect_eq "$(line_colour force "$summary")" 92 "F: colour of the summary"
term_stop force
holder_stop_all

start esc
term_keys esc Escape
summary="ejected 0 of 3 volumes; still mounted: T: U: V:"
term_wait esc "$summary" 30 || fail "Esc: no summary"
expect_eq "$(term_exit_status esc 30)" 3 "Esc: exit code"
for line in canceled "U: not tried" "V: not tried"; do
    term_capture esc | sed 's/ *$//' | grep -qxF -- "$line" || fail "Esc: no line '$line'"
done
expect_eq "$(line_colour esc "$summary")" 91 "Esc: colour of the summary"
log=$(asked)
[[ $log == T:0:6* && $log != *U:* && $log != *V:* && $log != *":1:"* ]] || fail "Esc: requests $log"
status=$(world_exec simctl status </dev/null | tr -d '\r')
for drive in T: U: V:; do
    grep -q "Crypt $drive " <<<"$status" || fail "Esc: $drive is not mounted any more"
done
term_stop esc
holder_stop_all
