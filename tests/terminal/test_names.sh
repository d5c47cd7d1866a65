#!/bin/bash
# Names outside ASCII on a real console (tmux), in three code-page settings:
# ANSI 1252 with the console in 850, the same console switched to 65001 by
# chcp, and 932 for both. The report line of a file named with such letters
# shows them, and turns back to the start-up colours once its holder lets go
# while another holder keeps the volume; output redirected to a file from
# that console has the ANSI bytes, or UTF-8 under 65001.
. "$QB_SOURCE/tests/lib.sh"
deadline 420
cp "$QB_BUILD/bin/holder.exe" "$QB_TMP/other.exe"
qb_exe=$(winpath "$QB_BUILD/bin/Quenbrax.exe")

turned_back() { [ "$(line_colour "$1" "$2")" = - ]; }

# NAME LOCALE CHARSET FILE [chcp]
run_case() {
    local -x LANG=$2
    local line="holder.exe : U:\\docs\\$4" out=$QB_TMP/$1.out
    world_up
    holder_start --file "U:\\docs\\$4"
    local first=$HOLDER
    holder_start -p "$QB_TMP/other.exe" --device U:
    # Redirected first, while the holders keep U: (no -l: three tries, code 3).
    local chcp=${5:+chcp $5 >nul & }
    term_start "$1-file" 100 30 cmd /c "$chcp$qb_exe U: -na -h >$(winpath "$out")"
    expect_eq "$(term_exit_status "$1-file" 60)" 3 "$1: exit code, redirected"
    grep -qxF "[$(tr -d '\r' <"$QB_TMP/holder.$first.out" | sed -n 's/^pid \([0-9]*\).*/\1/p')] $line" \
        <(tr -d '\r' <"$out" | iconv -f "$3" -t UTF-8) || fail "$1: no '$line' in $3 in $(od -c "$out" | tail -n 4)"
    term_start "$1" 100 30 cmd /c "$chcp$qb_exe U: -na -h -l"
    term_wait "$1" Trying 90 || die "$1: the retry loop did not start"
    expect_eq "$(line_colour "$1" "$line")" 97 "$1: colour of '$line'"
    holder_stop "$first"
    within 15 turned_back "$1" "$line" || fail "$1: '$line' not turned back"
    expect_eq "$(line_colour "$1" 'other.exe : \\.\U:')" 97 "$1: colour of the other holder"
    holder_stop_all
    term_wait "$1" success 30 || fail "$1: no success after the holders left"
    term_stop "$1"
    term_stop "$1-file"
}

run_case cafe de_DE.UTF-8 CP1252 'Café.txt'
run_case cafe-utf8 de_DE.UTF-8 UTF-8 'Café.txt' 65001
run_case japanese ja_JP.UTF-8 CP932 '日本語.txt'
