# Helpers shared by the eject scripts (sourced after lib.sh).
#
#   expect_output <<'EOF' ... EOF   QB_OUT without CRs is exactly the text given
#   expect_crlf                     every line of QB_OUT ends in CR LF, no escapes
#   log_take                        the simulation's request log, emptied: LOG
#                                   (lines "MS X: force=F answer=N")
#   expect_log "X:0:6" ...          LOG is exactly these requests (drive:force:answer)
#   log_gap N                       milliseconds between request N-1 and N (1-based)

expect_output() {
    local expected actual
    expected=$(cat)
    actual=$(tr -d '\r' <"$QB_OUT")
    if [ "$actual" != "$expected" ]; then
        fail "output differs from the expected text:
$(diff <(echo "$expected") <(echo "$actual") | sed 's/^/    /')"
    fi
}

expect_crlf() {
    local lines crlf
    lines=$(grep -c '' "$QB_OUT")
    crlf=$(grep -c $'\r$' "$QB_OUT")
    [ "$lines" = "$crlf" ] || fail "$((lines - crlf)) of $lines lines do not end in CR LF"
    ! grep -q $'\e' "$QB_OUT" || fail "colour escapes in redirected output"
}

log_take() {
    LOG=$(world_exec simctl log --clear </dev/null | tr -d '\r')
}

expect_log() {
    local actual
    actual=$(echo "$LOG" | awk 'NF { sub(/force=/, "", $3); sub(/answer=/, "", $4);
                                    printf "%s%s:%s:%s", sep, substr($2, 1, 1), $3, $4; sep = " " }')
    [ "$actual" = "$*" ] || fail "request log '$actual', expected '$*'"
}

log_gap() {
    echo "$LOG" | awk -v n="$1" 'NF { t[++i] = $1 } END { print t[n] - t[n - 1] }'
}

# A fresh world with empty request log and the demo volumes.
fresh_world() {
    world_up
    log_take
}

# In the background: once the driver has received N dismount requests (since
# the log was last emptied), wait SECONDS more, then run the command. Sets
# AFTER_PID; `wait $AFTER_PID` collects it.
after_requests() {
    local n=$1 pause=$2
    shift 2
    (
        local i count
        for ((i = 0; i < 600; i++)); do
            count=$(world_exec simctl log </dev/null | grep -c 'answer=')
            [ "$count" -ge "$n" ] && break
            sleep 0.1
        done
        sleep "$pause"
        "$@"
    ) &
    AFTER_PID=$!
}

# The expected lines of a loop's refusals: the line of each refused pass ends
# in a progress dot.
dotted_lines() {  # COUNT LINE
    local i
    for ((i = 0; i < $1; i++)); do echo "$2."; done
}
