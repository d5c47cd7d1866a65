#!/bin/bash
# The open-handle report never runs past its 5000 ms limit: a process with
# 120,000 handles, which one worker names one by one (four calls each, about
# 100 µs under Wine), keeps the report busy far longer, so " timeout" follows
# the message, nothing is listed, and the eject goes on with its second and
# third try.
# (tests/terminal/test_handles_timeout.sh checks that the colour is reset.)
. "$QB_SOURCE/tests/system/lib.sh"
. "$QB_SOURCE/tests/system/handles_lib.sh"
world_up

program_start "$hog" --file 'C:\handles-timeout.txt' --count 120000 --access read
holder_start --device U:
started=$(date +%s%3N)
qb U: -h
took=$(( $(date +%s%3N) - started ))
echo "figure: the run took $took ms (report limit 5000 ms, then up to 1000 ms more)"
expect_rc 3
expect_line "checking for open handles... timeout"
expect_no_text "holder.exe :"
# The eject goes on after the report: second try, third try, outcome.
after=$(tr -d '\r' <"$QB_OUT" | sed -n '/^checking for open handles\.\.\. timeout$/,$p' | grep -c 'FILES_OPEN')
expect_eq "$after" 2 "refusals after the report"
expect_line "VeraCrypt: FILES_OPEN failed (open files)"
