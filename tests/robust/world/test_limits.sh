#!/bin/bash
# Names and paths at their limits in the open-handle report ("U: -h"): a
# holder keeps files of 300, 499, 500 and 1,013 characters open on U:.
# - Output redirected: lines come whole up to the 519 characters an entry keeps;
#   a name too long for the name query's first 1024-byte reply is asked for
#   again with the length the system gives, and a longer one is shortened in
#   its middle. The run ends normally with exit code 3.
# - A 40-column console (tmux): each line is shortened in its middle to
#   40 - 10 ("holder.exe") - 4 = 26 path characters, so that it fits in 39
#   columns; a service host's line ("svchost.exe [ID] : PATH") as well.
# Wine names these files \??\U:\... (Windows: \Device\VeraCryptVolumeU\...), so
# the first 1024 bytes hold a full path of at most 499 characters here: 16 bytes
# of name header, 4 + 499 units and a terminator; 500 and more take the second
# query.
set -u
. "$QB_SOURCE/tests/system/lib.sh"
QB_QUIET=1
deadline 120
. "$QB_SOURCE/tests/terminal/lib.sh"
term_init 120
trap '_rc=$?; term_cleanup; (exit $_rc); _qb_finish' EXIT
world_up

# long_path LEN TAG: a full path on U: of LEN characters, folders of 99.
long_path() {
    local s=$2 i=0 chars=abcdefghijklmnopqrstuvwxyz0123456789
    while [ ${#s} -lt $(($1 - 3)) ]; do
        if [ $((${#s} % 100)) = 99 ]; then s+='\'; else s+=${chars:$((i % 36)):1}; i=$((i + 1)); fi
    done
    local dir=${s%\\*}
    mkdir -p "$(volume_dir U)/${dir//\\//}"
    echo "U:\\$s"
}
# shortened TEXT MAX: the text after ShortenMiddle with that maximum.
shortened() {
    local n=$2 h=$(($2 / 2))
    echo "${1:0:$((h - 2))}...${1: -$((n - h - 1))}"
}

declare -A path
for len in 300 499 500 1013; do path[$len]=$(long_path $len "n$len"); done
holder_start --device U: --file "${path[300]}" --file "${path[499]}" \
    --file "${path[500]}" --file "${path[1013]}"
# The same holder under the name of a service host.
mkdir -p "$QB_TMP/bin"
cp "$QB_BUILD/bin/holder.exe" "$QB_TMP/bin/svchost.exe"
world_exec "$(winpath "$QB_TMP/bin/svchost.exe")" --file "${path[300]}" \
    --until "$(winpath "$QB_TMP/svchost.stop")" --seconds 100 </dev/null >"$QB_TMP/svchost.out" 2>&1 &
service_job=$!
for _ in $(seq 1 100); do grep -q '^pid ' "$QB_TMP/svchost.out" 2>/dev/null && break; sleep 0.1; done
service_pid=$(sed -n 's/^pid \([0-9]*\).*/\1/p' "$QB_TMP/svchost.out")
[ -n "$service_pid" ] || fail "the service host stand-in did not start"

qb U: -h -na
expect_rc 3
expect_line "[$HOLDER_PID] holder.exe : \\\\.\\U:"
expect_line "[$HOLDER_PID] holder.exe : ${path[300]}"
expect_line "[$HOLDER_PID] holder.exe : ${path[499]}"
expect_line "[$service_pid] svchost.exe : ${path[300]}"
# Names too long for the first reply are asked for again: the 500-character
# path is listed whole, the 1,013-character one shortened in the middle (and
# its line clipped to the line buffer).
expect_line "[$HOLDER_PID] holder.exe : ${path[500]}"
grep -qaF "[$HOLDER_PID] holder.exe : ${path[1013]:0:200}" "$QB_OUT" ||
    fail "no line for the 1,013-character path"
expect_line failed

term_start narrow 40 60 "$QB_BUILD/bin/Quenbrax.exe" U: -h -na -w:1
# The outcome line, not the pane's exit status: now and then tmux marks the
# pane dead without ever collecting the status of Wine's process (a zombie it
# does not reap), and the exit code is checked above already.
term_wait narrow failed 60 || fail "no outcome on the narrow console"
screen=$(term_capture narrow | sed 's/ *$//')
for len in 300 499 500 1013; do
    line="holder.exe : $(shortened "${path[$len]}" 26)"
    expect_eq "${#line}" 39 "length of the shortened line"
    grep -qxF -- "$line" <<<"$screen" || fail "no line '$line' on the narrow console"
done
line="svchost.exe [$service_pid] : $(shortened "${path[300]}" $((40 - 11 - 4 - 3 - ${#service_pid})))"
expect_eq "${#line}" 39 "length of the service host's line"
grep -qxF -- "$line" <<<"$screen" || fail "no line '$line' on the narrow console"
grep -qxF 'holder.exe : \\.\U:' <<<"$screen" || fail "no device line on the narrow console"
[ $QB_FAILS = 0 ] || term_capture narrow >&2
term_stop narrow
holder_stop
touch "$QB_TMP/svchost.stop"
wait $service_job
