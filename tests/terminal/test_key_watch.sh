#!/bin/bash
# The key watch and the waits in a real console, through keywatch_probe (the
# key rules themselves are unit-tested): a second start starts no second
# thread; Quick Edit is off while watching; a key arrives; a stop ends the
# thread and puts back the input mode it found; Ctrl+C sets the stop flag and ends the thread, not the process, and
# the input mode found comes back; a key ends SleepOrKey before its time; what
# was typed before is discarded, and without a key the time ends the wait; a
# key soon after a watch stopped ends the wait; a key ends the closing prompt.
. "$QB_SOURCE/tests/lib.sh"
deadline 150
probe=$QB_BUILD/bin/keywatch_probe.exe
# value NAME SED-PATTERN: the \1 of the first screen line that matches it.
value() { term_capture "$1" | sed -n "s/^$2\$/\\1/p" | head -n 1; }

term_start keys 80 40 "$probe" watch
term_wait keys "Trying.." 30 || die "probe did not start"
expect_eq "$(value keys 'threads after two starts: \([0-9]*\)')" 1 "threads after two starts"
found=$(value keys 'input mode \(0x[0-9A-F]*\), watching .*')
watching=$(value keys 'input mode .*, watching \(0x[0-9A-F]*\)')
check "Quick Edit not off while watching ($watching)" test $((${watching:-0x40} & 0xC0)) = $((0x80))
sleep 0.3
term_keys keys q
term_wait keys "lastKey=81" 5 && term_wait keys "watching again" 10 || fail "Q: the watch did not start again"
check "StopKeyWatch did not end the thread" \
    test "$(value keys 'stopped: thread ended after \([0-9]*\) ms.*')" -le 3000
expect_eq "$(value keys 'stopped: .*, input mode \(0x[0-9A-F]*\)')" \
    "$(value keys 'input mode before the watch \(0x[0-9A-F]*\)')" "input mode after a stop"
term_keys keys C-c
term_wait keys "process goes on" 10 || fail "Ctrl+C: the process did not go on"
ended=$(value keys 'watch thread ended after \([0-9]*\) ms')
echo "figure: the watch thread ended ${ended:-?} ms after Ctrl+C was seen"
check "the watch thread did not end after Ctrl+C" test "${ended:-3001}" -le 3000
check "the input mode found is not back" term_wait keys "input mode after ${found:-?}" 1

term_start keyed 80 25 "$probe" sleep 6000
term_wait keyed ready 30 || die "probe did not start"
sleep 0.5
term_keys keyed a
term_wait keyed "SleepOrKey=" 10
expect_eq "$(value keyed 'SleepOrKey=\([0-9]*\) after .*')" 65 "key that ended SleepOrKey(6000)"
check "SleepOrKey(6000) ran its time" test "$(value keyed 'SleepOrKey=.* after \([0-9]*\) ms.*')" -lt 6000

term_start timed 80 25 "$probe" sleep 1000 1500
term_wait timed ready 30 || die "probe did not start"
term_keys timed x y z
term_wait timed "SleepOrKey=" 10
check "keys typed before SleepOrKey were not pending" test "$(value timed 'pending before: \([0-9]*\)')" -gt 0
expect_eq "$(value timed 'SleepOrKey=\(.*\) after .*')" 0 "SleepOrKey(1000) after keys typed before it"
check "SleepOrKey(1000) ended early" test "$(value timed 'SleepOrKey=.* after \([0-9]*\) ms.*')" -ge 1000
expect_eq "$(value timed 'SleepOrKey=.*pending after: \([0-9]*\)')" 0 "input pending after SleepOrKey"

# A key soon after a watch was stopped (the outcome, then the closing wait)
# goes to the wait, not to the watch thread that is still inside its wait.
term_start stopped 80 25 "$probe" stopped 5000
term_wait stopped ready 30 || die "probe did not start"
sleep 0.3
term_keys stopped b
term_wait stopped "SleepOrKey=" 10
expect_eq "$(value stopped 'SleepOrKey=\([0-9]*\) after .*')" 66 "key 300 ms after the watch stopped"

term_start prompt 80 25 "$probe" prompt
term_wait prompt ready 30 || die "probe did not start"
sleep 0.3
term_keys prompt q
check "q did not end the prompt" term_wait prompt "prompt ended" 5
