# Helpers of the open-handle report's scripts (sourced after lib.sh).
#
#   program_start PROGRAM ARGS...  like holder_start for any program of the
#                                  world that takes --until and --seconds (a
#                                  copy of holder, handle_hog); sets HOLDER_PID
#   report_lines                   the report's lines of QB_OUT: from the line
#                                  "checking for open handles..." up to the
#                                  next empty line
#   expect_line_match REGEX        QB_OUT has a line matching the extended REGEX
#   hog                            the unix path of handle_hog.exe

hog=$QB_BUILD/bin/handle_hog.exe

program_start() {
    local n=${#QB_HOLDERS[@]}
    local stop=$QB_TMP/holder.$n.stop out=$QB_TMP/holder.$n.out left i
    left=$(_qb_time_left)
    timeout -k 5 "$left" "$QB_SOURCE/tools/world" exec "$@" --until "$(winpath "$stop")" \
        --seconds "$left" </dev/null >"$out" 2>&1 &
    QB_HOLDERS[$n]=$!
    QB_HOLDER_STOPS[$n]=$stop
    HOLDER=$n
    HOLDER_PID=
    for ((i = 0; i < 300; i++)); do
        HOLDER_PID=$(sed -n 's/^pid \([0-9]*\).*/\1/p' "$out" 2>/dev/null | head -n 1)
        [ -n "$HOLDER_PID" ] && return 0
        kill -0 "${QB_HOLDERS[$n]}" 2>/dev/null ||
            die "$* ended before it was ready: $(tr -d '\r' <"$out")"
        sleep 0.1
    done
    die "$* did not report its pid within 30 s"
}

report_lines() {
    tr -d '\r' <"$QB_OUT" | awk '/^checking for open handles\.\.\./ { on = 1 } on && $0 == "" { exit } on'
}

expect_line_match() {
    tr -d '\r' <"$QB_OUT" | grep -qxE -- "$1" || fail "no line matching '$1' in the output"
}
