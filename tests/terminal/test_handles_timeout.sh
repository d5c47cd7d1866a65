#!/bin/bash
# A report that runs past its 5000 ms limit on a real console (tmux): the
# report switches to bright white before it scans; after " timeout" the colour
# is reset, so the eject's following lines come in the start-up colours.
# 120,000 handles that one worker names one by one keep the report busy long enough.
set -u
. "$QB_SOURCE/tests/terminal/handles_lib.sh"
handles_init 300

holder_run hog "$QB_BUILD/bin/handle_hog.exe" --file 'C:\handles-timeout.txt' --count 120000
holder_run holder holder --device U:
term_start q 100 40 "$QB_BUILD/bin/Quenbrax.exe" U: -h
status=$(term_exit_status q 120)
echo "exit status: $status"
term_check "Quenbrax ends with exit code 3" [ "$status" = 3 ]
screen=$(term_screen q -e | handles_colours)
echo "$screen" | grep -v '^-|$' | sed 's/^/  | /'
term_check "' timeout' follows the message" \
    grep -qxF -- '-|checking for open handles... timeout' <<<"$screen"
# The first text after the time-out line is the second try's refusal.
next=$(sed -n '/|checking for open handles\.\.\. timeout$/,$p' <<<"$screen" | sed 1d | grep -v '|$' | head -n 1)
term_check "the eject goes on after the time-out" [ "${next#*|}" = "VeraCrypt: FILES_OPEN" ]
term_check "... in the start-up colour" [ "${next%%|*}" = - ]
term_check "no holder was listed" [ "$(grep -cF 'holder.exe :' <<<"$screen")" = 0 ]

[ $term_failures = 0 ] || exit 1
