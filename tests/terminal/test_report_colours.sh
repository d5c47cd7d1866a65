#!/bin/bash
# Colours of the open-handle report on a real console (tmux), "U: -h -l": the
# report's lines are bright white (SGR 97 under Wine); while the loop retries,
# the lines of a holder that has gone turn back to the start-up colours and
# the others stay bright, also after the screen has scrolled; after the eject
# all are normal. A report that runs past its 5000 ms limit resets the colour
# after " timeout", so the eject's next lines come in the start-up colours.
. "$QB_SOURCE/tests/lib.sh"
deadline 420
world_up

device_line='holder.exe : \\.\U:'
file_line='holder.exe : U:\docs\readme.txt'
other_line='other.exe : \\.\U:'
module_line='other.exe : U:\lib\plugin.dll'   # a DLL it loaded from the volume
root_line='no read: U:\lock01.txt'             # locked by a process never examined
vol=$QUENBRAX_WORLD/volumes/U
cp "$QB_BUILD/bin/holder.exe" "$QB_TMP/other.exe"
cp "$QB_BUILD/bin/handle_hog.exe" "$QB_TMP/LSASS.EXE"

# Both holders keep the device open: every try is refused until both are gone.
start_case() {   # NAME ROWS
    mkdir -p "$vol/lib"
    cp "$QB_BUILD/bin/simplugin.dll" "$vol/lib/plugin.dll"
    holder_start --device U: --file 'U:\docs\readme.txt'
    first=$HOLDER
    holder_start -p "$QB_TMP/other.exe" --device U: --load-dll 'U:\lib\plugin.dll'
    other=$HOLDER
    term_start "$1" 100 "$2" "$QB_BUILD/bin/Quenbrax.exe" U: -h -l
    term_wait "$1" Trying 90 || die "$1: the retry loop did not start"
}
colour_is() { expect_eq "$(line_colour "$1" "$2")" "$3" "$1: colour of '$2'"; }
has_colour() { [ "$(line_colour "$1" "$2")" = "$3" ]; }
# turns NAME TEXT COLOUR SECONDS: the line shows that colour within SECONDS.
turns() { within "$4" has_colour "$@" || fail "$1: '$2' not in colour $3 within $4 s"; }

# A tall pane: nothing scrolls.
holder_start -p "$QB_TMP/LSASS.EXE" --lock 'U:\lock01.txt'
locker=$HOLDER
start_case tall 60
for line in "$device_line" "$file_line" "$other_line" "$module_line" "$root_line"; do
    colour_is tall "$line" 97
done
colour_is tall "checking for open handles..." -
# A root file that has gone (its holder deleted it) counts as released; the
# re-check opens existing files only and never creates it again.
rm "$vol/lock01.txt"
turns tall "$root_line" - 15
check "the gone root file was created again" test ! -e "$vol/lock01.txt"
holder_stop $locker
colour_is tall "$module_line" 97
holder_stop $other
turns tall "$other_line" - 15
colour_is tall "$module_line" -
colour_is tall "$device_line" 97
colour_is tall "$file_line" 97
holder_stop $first
term_wait tall success 30 || fail "no success after the holders left"
expect_eq "$(term_colours tall | grep -c '^97|')" 0 "bright lines after the eject"
term_stop tall

# A short pane: every retry adds a line, so the report's lines move up.
world_up
start_case short 22
row_before=$(line_row short "$other_line")
moved_up() { local row; row=$(line_row short "$other_line"); [ -n "$row" ] && [ "$row" -lt "$row_before" ]; }
within 40 moved_up || die "the screen did not scroll"
holder_stop $other
turns short "$other_line" - 10
colour_is short "$device_line" 97
holder_stop $first
term_wait short success 30 || fail "no success after the holders left"
term_stop short

# 120,000 handles that one worker names one by one keep the report busy far
# past its limit.
world_up
holder_start -p "$QB_BUILD/bin/handle_hog.exe" --file 'C:\handles-timeout.txt' --count 120000
holder_start --device U:
term_start timeout 100 40 "$QB_BUILD/bin/Quenbrax.exe" U: -h -na
expect_eq "$(term_exit_status timeout 120)" 3 "exit code after the time-out"
screen=$(term_colours timeout)
grep -qxF -- '-|checking for open handles... timeout' <<<"$screen" || fail "no ' timeout': $screen"
next=$(sed -n '/|checking for open handles\.\.\. timeout$/,$p' <<<"$screen" | sed 1d | grep -v '|$' | head -n 1)
expect_eq "$next" "-|VeraCrypt: FILES_OPEN" "the line after the time-out and its colour"
