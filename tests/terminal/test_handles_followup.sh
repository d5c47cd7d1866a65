#!/bin/bash
# "Quenbrax U: -h -l" on a real console (tmux): the report's lines are bright
# white before the second try; while the loop retries, the lines of a holder
# that has gone turn back to the start-up colours and the others stay bright,
# also when the screen has scrolled since; after the eject all are normal.
# Colours are read from `capture-pane -e` (bright white is SGR 97 under Wine).
set -u
. "$QB_SOURCE/tests/terminal/handles_lib.sh"
handles_init 420

device_line='holder.exe : \\.\U:'
file_line='holder.exe : U:\docs\readme.txt'
other_line='other.exe : \\.\U:'
module_line='other.exe : U:\lib\plugin.dll'   # a DLL it loaded from the volume
cp "$QB_BUILD/bin/holder.exe" "$handles_tmp/other.exe"
mkdir -p "$QUENBRAX_WORLD/volumes/U/lib"
cp "$QB_BUILD/bin/simplugin.dll" "$QUENBRAX_WORLD/volumes/U/lib/plugin.dll"

# Both holders keep the device open, so every try is refused until both are gone.
start_case() {   # NAME ROWS
    holder_run first holder --device U: --file 'U:\docs\readme.txt'
    holder_run other "$handles_tmp/other.exe" --device U: --load-dll 'U:\lib\plugin.dll'
    term_start "$1" 100 "$2" "$QB_BUILD/bin/Quenbrax.exe" U: -h -l
    term_wait "$1" "Trying" 90 || term_fail "the retry loop did not start"
}

# wait_colour NAME TEXT COLOUR SECONDS: until the line shows that colour.
wait_colour() {
    local end=$(( $(term_ms) + $4 * 1000 ))
    while [ "$(term_ms)" -lt "$end" ]; do
        [ "$(line_colour "$1" "$2")" = "$3" ] && return 0
        sleep 0.2
    done
    return 1
}

# A tall pane: nothing scrolls. A process the report skips (named like a
# system process) locks a root file, which shows as "no read".
cp "$QB_BUILD/bin/handle_hog.exe" "$handles_tmp/LSASS.EXE"
holder_run locker "$handles_tmp/LSASS.EXE" --lock 'U:\lock01.txt'
start_case tall 60
term_check "the device holder's line is bright white" [ "$(line_colour tall "$device_line")" = 97 ]
term_check "the file holder's line is bright white" [ "$(line_colour tall "$file_line")" = 97 ]
term_check "the other holder's line is bright white" [ "$(line_colour tall "$other_line")" = 97 ]
term_check "'checking for open handles...' keeps the start-up colour" \
    [ "$(line_colour tall "checking for open handles...")" = - ]
# Before the second try: the line is above the second refusal.
second_try=$(term_screen tall | grep -n '^VeraCrypt: FILES_OPEN *$' | sed -n 2p | cut -d: -f1)
term_check "the report comes before the second try" \
    [ "$(( $(line_row tall "$device_line") + 1 ))" -lt "${second_try:-0}" ]

# The locked file goes away (its holder deleted it): released, and the
# re-check, which opens existing files only, never creates it again.
term_check "the locked root file's line is bright white" \
    [ "$(line_colour tall 'no read: U:\lock01.txt')" = 97 ]
rm "$QUENBRAX_WORLD/volumes/U/lock01.txt"
term_check "a root file that has gone counts as released" \
    wait_colour tall 'no read: U:\lock01.txt' - 15
term_check "... and is not created again" [ ! -e "$QUENBRAX_WORLD/volumes/U/lock01.txt" ]
holder_end locker
term_check "a loaded module's line stays bright while it is loaded" \
    [ "$(line_colour tall "$module_line")" = 97 ]
holder_end other
term_check "the gone holder's line turns back after the next try" \
    wait_colour tall "$other_line" - 15
term_check "... its module's line too" [ "$(line_colour tall "$module_line")" = - ]
term_check "... while the remaining holder's lines stay bright" \
    [ "$(line_colour tall "$device_line")" = 97 -a "$(line_colour tall "$file_line")" = 97 ]
holder_end first
term_wait tall "success" 30 || term_fail "no success after the holders left"
term_check "after the eject every line is normal" \
    [ "$(term_screen tall -e | handles_colours | grep -c '^97|')" = 0 ]
term_check "... the holder lines are still there" \
    [ -n "$(line_row tall "$device_line")" -a -n "$(line_row tall "$file_line")" ]
term_stop tall
timeout 120 "$QB_SOURCE/tools/world" up --fresh >/dev/null || term_fail "the world did not come back"

# A short pane: every retry adds a line, so the report's lines move up.
start_case short 22
row_before=$(line_row short "$other_line")
end=$(( $(term_ms) + 40000 ))
while [ "$(term_ms)" -lt "$end" ]; do
    row=$(line_row short "$other_line")
    [ -n "$row" ] && [ "$row" -lt "$row_before" ] && break
    sleep 0.2
done
echo "figure: the other holder's line was on row $row_before, is on row ${row:-?} when it leaves"
[ -n "${row:-}" ] && [ "$row" -lt "$row_before" ] || term_fail "the screen did not scroll"
holder_end other
term_check "a line that scrolled up still turns back" wait_colour short "$other_line" - 10
term_check "... at its new row" [ "$(line_row short "$other_line")" -lt "$row_before" ]
term_check "... while the remaining holder's line stays bright" \
    [ "$(line_colour short "$device_line")" = 97 ]
holder_end first
term_wait short "success" 30 || term_fail "no success after the holders left"
term_stop short

[ $term_failures = 0 ] || exit 1
