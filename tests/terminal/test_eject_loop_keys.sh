#!/bin/bash
# The retry loop on a real console (tmux): F forces the next attempt, Esc and
# Ctrl+C cancel (the process survives Ctrl+C and ends in order), and the
# outcome lines carry their colours (Wine writes colour 10 as SGR 92, 12 as 91,
# 14 as 93, and the default colour as 39). Checks the screen, the exit code
# and the simulated driver's request log.
set -u
. "$QB_SOURCE/tests/terminal/handles_lib.sh"
handles_init 420

world() { timeout 60 "$QB_SOURCE/tools/world" exec "$@" </dev/null | tr -d '\r'; }

# A held U: in a pane running "Quenbrax U: -na ARGS", past the first dot of the loop.
start_held() {   # NAME ARGS...
    local name=$1
    shift
    world simctl mount veracrypt U: '\??\C:\vols\private.hc' --label PRIVATE --if-missing \
        + log --clear >/dev/null
    holder_run "$name" holder --device U:
    term_start "$name" 100 30 "$QB_BUILD/bin/Quenbrax.exe" U: -na "$@"
}

wait_first_dot() {
    term_wait "$1" "Trying.." 60 && term_wait "$1" "VeraCrypt: FILES_OPEN." 30 ||
        term_fail "$1: the loop did not start"
}

screen_has_line() {   # NAME LINE
    term_capture "$1" | sed 's/ *$//' | grep -qxF -- "$2"
}

# "force:answer" of the requests after the first N, one word each.
requests_after() {
    world simctl log | awk -v n="$1" 'NF && ++i > n { sub(/force=/, "", $3);
        sub(/answer=/, "", $4); printf "%s%s:%s", sep, $3, $4; sep = " " }'
}

# F: the attempt after it is forced (a normal request, then the forced one),
# " OK (by force)", "success" green and " (by force)" in the default colour.
start_held force -l
wait_first_dot force
term_keys force f
term_wait force "success" 30 || term_fail "F did not end the loop"
status=$(term_exit_status force 30)
term_check "F: exit code 1 (got $status)" [ "$status" = 1 ]
term_check "F: 'F -> forcing...'" screen_has_line force "F -> forcing..."
term_check "F: ' OK (by force)'" screen_has_line force " OK (by force)"
term_check "F: 'success' in colour 10, ' (by force)' in the default colour" \
    grep -qF $'\e[92msuccess\e[39m (by force)' <(term_capture force -e)
log=$(world simctl log)
last=$(echo "$log" | awk 'NF' | tail -n 2 | awk '{ print $3 ":" $4 }' | tr '\n' ' ')
term_check "F: the last two requests are a refused normal and a successful forced one" \
    [ "$last" = "force=0:answer=6 force=1:answer=0 " ]
term_check "F: no forced request before the key" \
    [ "$(echo "$log" | grep -c 'force=1')" = 1 ]
echo "measured: gaps between requests (ms): $(echo "$log" | awk 'NF { if (p) printf "%s ", $1 - p; p = $1 }')"
holder_end force
term_stop force

# Esc: "Esc -> cancel...", "canceled" in colour 14, exit 3, nothing forced.
start_held esc -l
wait_first_dot esc
term_keys esc Escape
term_wait esc "canceled" 30 || term_fail "Esc did not end the loop"
status=$(term_exit_status esc 30)
term_check "Esc: exit code 3 (got $status)" [ "$status" = 3 ]
term_check "Esc: 'Esc -> cancel...'" screen_has_line esc "Esc -> cancel..."
term_check "Esc: 'canceled' in colour 14" [ "$(line_colour esc canceled)" = 93 ]
term_check "Esc: no forced request" [ -z "$(world simctl log | grep 'force=1')" ]
holder_end esc
term_stop esc

# Ctrl+C: the process lives on, the loop ends after its attempt: "canceled".
start_held ctrlc -l
wait_first_dot ctrlc
requests=$(world simctl log | grep -c answer=)
term_keys ctrlc C-c
term_wait ctrlc "canceled" 30 || term_fail "Ctrl+C did not end the loop in order"
status=$(term_exit_status ctrlc 30)
term_check "Ctrl+C: exit code 3, not the code of a killed process (got $status)" \
    [ "$status" = 3 ]
term_check "Ctrl+C: 'canceled' in colour 14" [ "$(line_colour ctrlc canceled)" = 93 ]
after=$(requests_after "$requests")
term_check "Ctrl+C: at most one more refused, unforced attempt (got '$after')" \
    [ "$after" = "" -o "$after" = "0:6" ]
holder_end ctrlc
term_stop ctrlc

# A request that the driver never answers: Esc (at the first try, with a key
# watch of its own) and Ctrl+C (in the loop) still end the run at once:
# "canceled" in colour 14, exit 3, no further request; the held request is
# dropped when the program ends.
for case in "Escape hang 0:canceled" "C-c 6,6,6,hang 0:6_0:6_0:6_0:canceled"; do
    read -r key plan expected <<<"$case"
    world simctl mount veracrypt U: '\??\C:\vols\private.hc' --label PRIVATE --if-missing \
        + log --clear + plan U: "$plan" >/dev/null
    term_start hang 100 30 "$QB_BUILD/bin/Quenbrax.exe" U: -na -l
    for _ in $(seq 1 100); do world simctl status | grep -q " held=1" && break; sleep 0.1; done
    term_sleep 1   # the key watch reads the input by now
    sent=$(term_ms)
    term_keys hang "$key"
    status=$(term_exit_status hang 10)
    took=$(( $(term_ms) - sent ))
    echo "measured: $key during an unanswered request: the program ended after $took ms"
    term_check "$key, no answer: exit 3 within a second (got $status after $took ms)" \
        [ "$status" = 3 -a "$took" -lt 1000 ]
    term_check "$key, no answer: 'canceled' in colour 14" [ "$(line_colour hang canceled)" = 93 ]
    for _ in $(seq 1 30); do world simctl log | grep -q canceled && break; sleep 0.1; done
    term_check "$key, no answer: requests ${expected//_/ }" \
        [ "$(requests_after 0)" = "${expected//_/ }" ]
    term_stop hang
done

# Without -l: the third refusal ends the run, "failed" in colour 12.
start_held fail
term_wait fail "failed" 30 || term_fail "no outcome without -l"
status=$(term_exit_status fail 30)
term_check "no -l: exit code 3 (got $status)" [ "$status" = 3 ]
term_check "no -l: ' failed (open files)' after the third refusal" \
    screen_has_line fail "VeraCrypt: FILES_OPEN failed (open files)"
term_check "no -l: 'failed' in colour 12" [ "$(line_colour fail failed)" = 91 ]
holder_end fail
term_stop fail

# The volume vanishes during the loop: "TrueCrypt volume is gone" in colour 14.
# It goes right after a request, while the loop pauses, not while a request
# is on its way (that would be answered DRIVE_NOT_FOUND).
start_held gone -l
wait_first_dot gone
requests=$(world simctl log | grep -c answer=)
for _ in $(seq 1 100); do
    [ "$(world simctl log | grep -c answer=)" -gt "$requests" ] && break
    sleep 0.05
done
world simctl vanish U: >/dev/null
term_wait gone "TrueCrypt volume is gone" 30 || term_fail "the loop did not notice the vanished volume"
status=$(term_exit_status gone 30)
term_check "gone: exit code 2 (got $status)" [ "$status" = 2 ]
term_check "gone: in colour 14" [ "$(line_colour gone "TrueCrypt volume is gone")" = 93 ]
holder_end gone
term_stop gone

# Unheld: " OK", "success" in colour 10, exit 0.
world simctl mount veracrypt U: '\??\C:\vols\private.hc' --label PRIVATE --if-missing >/dev/null
term_start ok 100 30 "$QB_BUILD/bin/Quenbrax.exe" U: -na
term_wait ok "success" 30 || term_fail "no success for an unheld volume"
status=$(term_exit_status ok 30)
term_check "unheld: exit code 0 (got $status)" [ "$status" = 0 ]
term_check "unheld: ' OK'" screen_has_line ok " OK"
term_check "unheld: 'success' in colour 10" [ "$(line_colour ok success)" = 92 ]
term_stop ok

[ "$term_failures" = 0 ] || term_fail "$term_failures checks failed"
echo "PASS test_eject_loop_keys.sh"
