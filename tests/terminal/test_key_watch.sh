#!/bin/bash
# The key watch in a real console, with the eject loop's table: F and Esc print
# their lines, other keys only set lastKey, Shift+F counts as F, overlapping and
# held keys count once, Ctrl+C stops the watch without ending the process, and
# a second start starts no second thread.
set -u
. "$QB_SOURCE/tests/terminal/lib.sh"
term_init 150
probe="$QB_BUILD/bin/keywatch_probe.exe"
[ -f "$probe" ] || term_fail "$probe not built"

# The line right before the first line that is exactly $2.
line_before() {
    term_capture "$1" | awk -v want="$2" '$0 == want { print previous; exit } { previous = $0 }'
}
count_lines() {
    term_capture "$1" | grep -cxF -- "$2"
}

# Waits up to DEADLINE_S seconds until the line TEXT has been shown N times.
wait_count() {
    local name=$1 text=$2 n=$3 deadline=$4 i
    for ((i = 0; i < deadline * 20; i++)); do
        [ "$(count_lines "$name" "$text")" -ge "$n" ] && return 0
        sleep 0.05
    done
    return 1
}

# Keys typed through tmux.
term_start keys 80 40 "$probe" watch
term_wait keys "Trying.." 30 || term_fail "probe did not start"
term_check "a second StartKeyWatch starts no second thread" \
    term_wait keys "watch thread found; threads after second start: 1" 1
term_sleep 0.3

term_keys keys f
term_wait keys "lastKey=70" 5
term_check "F prints a line feed, then \"F -> forcing...\"" \
    [ "$(line_before keys "F -> forcing...")" = "Trying.." ]

term_keys keys x
term_wait keys "lastKey=88" 5
term_check "X sets lastKey 88 and prints nothing" \
    [ "$(line_before keys "lastKey=88")" = "lastKey=70" ]

# tmux sends F as Shift down, F down and up with the Shift bit, Shift up.
term_keys keys F
wait_count keys "lastKey=70" 2 5
term_check "Shift+F counts as F" [ "$(count_lines keys "F -> forcing...")" = 2 ]
term_check "Shift+F sets lastKey 70" [ "$(count_lines keys "lastKey=70")" = 2 ]

term_keys keys Escape
term_wait keys "lastKey=27" 5
term_check "Esc prints \"Esc -> cancel...\"" [ "$(line_before keys "lastKey=27")" = "Esc -> cancel..." ]

term_keys keys C-c
term_wait keys "probe done" 10
term_check "Ctrl+C sets the stop flag" term_wait keys "stop=1" 1
ended=$(term_capture keys | sed -n 's/^watch thread ended after \([0-9]*\) ms$/\1/p')
echo "figure: watch thread ended ${ended:-?} ms after Ctrl+C was seen"
term_check "the watch thread ends after Ctrl+C" [ "${ended:-9999}" -le 3000 ]
term_check "the process goes on after Ctrl+C" term_wait keys "process goes on" 1
read -r found watching < <(term_capture keys |
    sed -n 's/^input mode \(0x[0-9A-F]*\), watching \(0x[0-9A-F]*\)$/\1 \2/p')
term_check "Quick Edit off (set through the extended flags) while watching" \
    [ $((${watching:-0x40} & 0xC0)) = $((0x80)) ]
term_check "the input mode found is back after Ctrl+C" \
    term_wait keys "input mode after ${found:-?}" 1
term_check "the process ends normally (exit 0)" [ "$(term_exit_status keys 10)" = 0 ]

# Records written into the console input: key-down and key-up events that
# tmux cannot send separately.
term_start injected 80 40 "$probe" watch inject
term_wait injected "lastKey=70" 30
term_keys injected q
term_wait injected "probe done" 10
term_check "F down, Esc down, F up, Esc up counts as Esc" \
    [ "$(line_before injected "lastKey=27")" = "Esc -> cancel..." ]
term_check "held F (three key-downs, one key-up) is one press" \
    [ "$(count_lines injected "F -> forcing...")" = 1 ]
term_check "StopKeyWatch ends the thread" term_wait injected "watch thread ended after" 1

if [ "$term_failures" -ne 0 ]; then
    echo "screens:"
    term_capture keys | grep -v '^$' | sed 's/^/  keys | /'
    term_capture injected | grep -v '^$' | sed 's/^/  injected | /'
fi
exit $((term_failures != 0))
