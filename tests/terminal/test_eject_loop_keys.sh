#!/bin/bash
# Keys and colours of the eject on a real console (tmux): F forces the next
# attempt, Esc and Ctrl+C cancel (the process survives Ctrl+C and ends in
# order), also while a request is inside the driver, and each outcome has its colour
# (Wine writes colour 10 as SGR 92, 12 as 91, 14 as 93, the default as 39).
# The lines and exit codes of these runs redirected: tests/system/golden.*.
. "$QB_SOURCE/tests/lib.sh"
deadline 420
world_up

# start NAME held|PLAN|- ARGS...: Quenbrax U: -na ARGS in a pane, with a
# holder of U: or the driver's plan; the request log starts empty. Held with
# -l, it returns after the loop's first refused pass.
start() {
    local name=$1 held=$2 plan=(+ plan U: "$2")
    [ "$2" = - ] || [ "$2" = held ] && plan=()
    simctl mount veracrypt U: '\??\C:\vols\private.hc' --label PRIVATE --if-missing + log --clear \
        "${plan[@]}" >/dev/null
    [ "$2" = held ] && holder_start --device U:
    shift 2
    term_start "$name" 100 30 "$QB_BUILD/bin/Quenbrax.exe" U: -na "$@"
    [ "$held $*" != "held -l" ] || term_wait "$name" "VeraCrypt: FILES_OPEN." 60 ||
        die "$name: the loop did not start"
}
shows() { term_capture "$1" | sed 's/ *$//' | grep -qxF -- "$2" || fail "$1: no line '$2'"; }
# ends NAME CODE TEXT COLOUR: the run ends with CODE, its outcome TEXT in COLOUR.
ends() {
    term_wait "$1" "$3" 30 || { fail "$1: no '$3'"; return; }
    expect_eq "$(term_exit_status "$1" 30)" "$2" "$1: exit code"
    expect_eq "$(line_colour "$1" "$3")" "$4" "$1: colour of '$3'"
    term_stop "$1"
    holder_stop
}
# The requests' X:F:A words since the log was last emptied.
asked() { requests | awk '{ printf "%s%s", s, $2; s = " " }'; }

# F: every pass after it is forced (a refused normal request, then the forced
# one), also after a forced request was refused (the plan's entries: the
# driver refuses the first forced request whenever F comes); "success" in
# colour 10, " (by force)" in the default colour.
start force held -l
simctl plan U: 6,6,6,6
term_keys force f
term_wait force success 30
shows force "F -> forcing..."
shows force " OK (by force)"
term_capture force -e | grep -qF $'\e[92msuccess\e[39m (by force)' ||
    fail "F: 'success' not in colour 10 or ' (by force)' not in the default colour"
log=$(asked)
forced_twice='^(U:0:6 )+U:1:6( U:0:6 U:1:6)* U:0:6 U:1:0$'
[[ $log =~ $forced_twice ]] || fail "F: requests $log"
ends force 1 "success (by force)" 92

# Esc: canceled, nothing forced. Ctrl+C: the process lives on and the loop
# ends after its attempt, with at most one more refused request.
start esc held -l
term_keys esc Escape
term_wait esc canceled 30
shows esc "Esc -> cancel..."
ends esc 3 canceled 93
[[ $(asked) != *":1:"* ]] || fail "Esc: a forced request"
start ctrlc held -l
requests >/dev/null
term_keys ctrlc C-c
ends ctrlc 3 canceled 93
log=$(asked)
[ "$log" = "" ] || [ "$log" = U:0:6 ] || fail "Ctrl+C: requests after the key: $log"

# A request inside the driver: Esc (at the first try, with a key watch of its
# own; once after the waiting line; at the third try with -f) and Ctrl+C (in
# the loop) say at once that the run stops when the driver answers; it waits
# for that answer, sends no further request (the refused third try no forced
# one) and reports what the driver did: a dismount it carried out is a
# success, a refusal ends "canceled".
for case in "Escape 11 hang 0 U:0:0 0 success 92" "Escape 1 hang 6 U:0:6 3 canceled 93" \
            "Escape 1 6,6,hang 6 U:0:6_U:0:6_U:0:6 3 canceled 93 -f" \
            "C-c 1 6,6,6,hang 6 U:0:6_U:0:6_U:0:6_U:0:6 3 canceled 93"; do
    read -r key after plan answer expected code text colour option <<<"$case"
    start inside "$plan" "${option:--l}"
    within 10 eval 'world_exec simctl status | grep -q " held=1"'
    [ "$after" = 1 ] || term_wait inside "waiting for the driver..." 20 || fail "$key: no waiting line"
    sleep 1   # the key watch reads the input by now
    term_keys inside "$key"
    term_wait inside "stopping when the driver answers..." 5 || fail "$key after $after s: nothing said"
    sleep 1
    check "$key after $after s: the run ended before the driver answered" \
        test "$(term_exit_status inside 0)" = timeout
    simctl release U: "$answer"
    ends inside "$code" "$text" "$colour"
    expect_eq "$(asked)" "${expected//_/ }" "$key after $after s, answer $answer: requests"
done

# Without -l the third refusal fails; the volume vanishing during the loop
# (right after a request, not while one is on its way) ends it as gone; an
# unheld volume goes.
start fail held
ends fail 3 failed 91
start gone held -l
n=$(world_exec simctl log | grep -c answer=)
within 5 eval '[ "$(world_exec simctl log | grep -c answer=)" -gt $n ]'
simctl vanish U:
ends gone 2 "TrueCrypt volume is gone" 93
start ok -
ends ok 0 success 92
