#!/bin/bash
# Golden transcripts: each row of golden.rows runs Quenbrax.exe in a fresh
# simulated world with its output redirected, and compares the exit code, the
# requests the drivers received and the transcript (the output, CR LF line
# ends and no colour escapes, then what the row's "then" steps print) with
# the row and its section of golden.exp, line by line. golden.rows says how.
#   tests/system/test_golden.sh [NAME...]   only the rows of those names
# QB_DUMP=DIR keeps each row's transcript in DIR (to write a new section).
. "${QB_SOURCE:-$(cd "$(dirname "$0")/../.." && pwd)}/tests/lib.sh"
deadline 900
here=$QB_SOURCE/tests/system
bin=$QB_BUILD/bin vol=$QUENBRAX_WORLD/volumes

# Expected-line patterns: @*@ is any text, @pidN@ the pid of the row's Nth
# holder; a line "@...@" stands for any lines; "LINE@+@" for LINE once or more.
_glob() {
    local p=$1 n
    p=${p//\\/\\\\}; p=${p//\*/\\*}; p=${p//\?/\\?}; p=${p//\[/\\[}; p=${p//(/\\(}
    p=${p//@\\\*@/*}
    for n in "${!row_pids[@]}"; do p=${p//@pid$((n + 1))@/${row_pids[$n]}}; done
    printf '%s' "$p"
}

# transcript_matches EXPECTED_FILE ACTUAL_FILE
transcript_matches() {
    local -a want got
    mapfile -t want <"$1"
    mapfile -t got <"$2"
    local i=0 j=0 p
    while [ $i -lt ${#want[@]} ]; do
        if [ "${want[$i]}" = "@...@" ]; then
            i=$((i + 1))
            [ $i = ${#want[@]} ] && return 0
            p=$(_glob "${want[$i]%@+@}")
            while [ $j -lt ${#got[@]} ] && [[ ${got[$j]} != $p ]]; do j=$((j + 1)); done
        elif [ "${want[$i]%@+@}" != "${want[$i]}" ]; then
            p=$(_glob "${want[$i]%@+@}")
            [[ ${got[$j]-} == $p ]] || return 1
            while [ $((j + 1)) -lt ${#got[@]} ] && [[ ${got[$((j + 1))]} == $p ]]; do j=$((j + 1)); done
            i=$((i + 1)) j=$((j + 1))
        else
            [ $j -lt ${#got[@]} ] && [[ ${got[$j]} == $(_glob "${want[$i]}") ]] || return 1
            i=$((i + 1)) j=$((j + 1))
        fi
    done
    [ $j = ${#got[@]} ]
}

# requests_match "EXPECTED" LOG_FILE: words X:F:A, each optionally with ~MS
# (at least MS after the request before) and a final + (once or more).
requests_match() {
    local -a want times words
    read -ra want <<<"${1#-}"
    while read -r t w; do times+=("$t"); words+=("$w"); done <"$2"
    local i j=0 word gap more
    for i in "${!want[@]}"; do
        word=${want[$i]%+} more=$([ "$word" != "${want[$i]}" ] && echo 1)
        gap=0
        [ "${word#*~}" != "$word" ] && gap=${word#*~} word=${word%~*}
        local n=0
        while [ $j -lt ${#words[@]} ] && [ "${words[$j]}" = "$word" ] &&
              { [ $j = 0 ] || [ $((times[j] - times[j - 1])) -ge "$gap" ]; }; do
            j=$((j + 1)) n=$((n + 1))
            [ "$more" ] || break
        done
        [ $n -gt 0 ] || return 1
    done
    [ $j = ${#words[@]} ]
}

# A step of a row's set-up (see golden.rows); its output goes to the transcript.
run_step() {
    local verb=${1%% *} rest=
    [ "$verb" != "$1" ] && rest=${1#* }
    case $verb in
    simctl) eval "simctl $rest" >/dev/null ;;
    hold) eval "holder_start $rest"; row_pids+=("$HOLDER_PID") ;;
    stop) holder_stop ;;
    sh) eval "$rest" ;;
    via) eval "launcher=($rest)" ;;
    then)   # "then qb ARGS" says its exit code, "then simctl ARGS" only its output
        local -a words
        eval "words=($rest)"
        [ "${words[0]}" = qb ] && words[0]=quenbrax
        world_run "${words[@]}"
        echo "> $rest$([ "${words[0]}" = quenbrax ] && echo ": exit $QB_RC")"
        out_text ;;
    *) die "row $name: unknown step '$1'" ;;
    esac
}

# The steps after "after N [SECONDS]", in the background once the drivers
# answered N requests and SECONDS more have passed.
run_after() {
    local count=$1 pause=$2 step
    shift 2
    within 30 eval '[ -e "$QB_TMP/row.ended" ] || [ "$(world_exec simctl log </dev/null | grep -c answer=)" -ge $count ]'
    [ -e "$QB_TMP/row.ended" ] && return
    sleep "$pause"
    for step in "$@"; do run_step "$step" >/dev/null; done
}

trim() { local s=${1#"${1%%[! ]*}"}; printf '%s' "${s%"${s##*[! ]}"}"; }

run_row() {  # NAME SETUP ARGUMENTS EXIT REQUESTS
    local name=$1 setup=$2 code=$4 want=$5 step world=() launcher=() pre=() later=() then=()
    local -x LANG=$LANG
    local charset=
    local -a steps args
    row_pids=()
    IFS=';' read -ra steps <<<"$setup"
    for step in "${steps[@]}"; do
        step=$(trim "$step")
        case $step in
        world*) eval "world=(${step#world})" ;;
        lang*) read -r LANG charset <<<"${step#lang}" ;;
        after*) later+=("$step") ;;
        then*) then+=("$step") ;;
        -|'') ;;
        *) [ ${#later[@]} = 0 ] && pre+=("$step") || later+=("$step") ;;
        esac
    done
    world_up "${world[@]}"
    for step in "${pre[@]}"; do run_step "$step" >/dev/null; done
    rm -f "$QB_TMP/row.ended"
    local after=
    if [ ${#later[@]} -gt 0 ]; then
        read -r _ count pause <<<"${later[0]}"
        run_after "$count" "${pause:-0}" "${later[@]:1}" &
        after=$!
    fi
    eval "args=($3)"
    local -a run=(quenbrax)
    [ ${#launcher[@]} -gt 0 ] && run=("$(winpath "$bin/${launcher[0]}.exe")" "${launcher[@]:1}"
                                      "$(winpath "$bin/Quenbrax.exe")")
    # A run that hangs fails its row after a minute.
    timeout -k 5 60 "$QB_SOURCE/tools/world" exec "${run[@]}" "${args[@]}" </dev/null \
        >"$QB_TMP/qb.out" 2>&1
    local rc=$?
    touch "$QB_TMP/row.ended"
    [ -z "$after" ] || wait "$after"
    local raw=$QB_TMP/qb.out lines crlf
    lines=$(grep -c '' "$raw") crlf=$(grep -c $'\r$' "$raw")
    [ "$lines" = "$crlf" ] || fail "row $name: $((lines - crlf)) of $lines lines do not end in CR LF"
    ! grep -q $'\e' "$raw" || fail "row $name: colour escapes in redirected output"
    holder_stop_all
    { tr -d '\r' <"$raw"; for step in "${then[@]}"; do run_step "$step"; done; } |
        if [ -n "$charset" ]; then iconv -f "$charset" -t UTF-8; else cat; fi >"$QB_TMP/actual"
    requests >"$QB_TMP/log"
    [ "$rc" = "$code" ] || fail "row $name: exit code $rc, expected $code"
    requests_match "$want" "$QB_TMP/log" ||
        fail "row $name: requests '$(awk '{ printf "%s%s", s, $2; s = " " }' "$QB_TMP/log")', expected '$want'"
    [ -n "${QB_DUMP:-}" ] && { mkdir -p "$QB_DUMP"; cp "$QB_TMP/actual" "$QB_DUMP/$rows.$name"; }
    sed -n "/^=== $name\$/,/^=== /p" "$here/golden.exp" | sed '1d;/^=== /d' >"$QB_TMP/expected"
    [ -s "$QB_TMP/expected" ] || fail "row $name: no section '=== $name' in golden.exp"
    transcript_matches "$QB_TMP/expected" "$QB_TMP/actual" ||
        fail "row $name: transcript differs from golden.exp:
$(diff "$QB_TMP/expected" "$QB_TMP/actual" | sed 's/^/    /')"
}

rows=0
while IFS='|' read -r name setup args code want; do
    name=$(trim "$name")
    case $name in ''|'#'*) continue ;; esac
    [ $# -gt 0 ] && [[ " $* " != *" $name "* ]] && continue
    run_row "$name" "$setup" "$args" "$(trim "$code")" "$(trim "$want")"
    rows=$((rows + 1))
done < <(sed 's/ *\\$/\\/' "$here/golden.rows" | sed -e ':a' -e '/\\$/{N;s/\\\n */ /;ba' -e '}')
[ $rows -gt 0 ] || fail "no row named $*"
echo "$rows rows"
