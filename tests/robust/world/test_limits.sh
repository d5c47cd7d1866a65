#!/bin/bash
# Names and paths at their limits in the open-handle report ("U: -h"): a
# holder keeps files of 300, 499, 500 and 1,013 characters open on U:.
# - Output redirected: lines come whole up to the 519 characters an entry
#   keeps; a name too long for the name query's first 1024-byte reply is asked
#   for again with the length the system gives, and a longer one is shortened
#   in its middle. The run ends normally with exit code 3.
# - A 40-column console (tmux): each line is shortened in its middle to
#   40 - 10 ("holder.exe") - 4 = 26 path characters, so that it fits in 39
#   columns; a service host's line ("svchost.exe [ID] : PATH") as well.
# Wine names these files \??\U:\... (Windows: \Device\VeraCryptVolumeU\...), so
# the first 1024 bytes hold a full path of at most 499 characters here: 16
# bytes of name header, 4 + 499 units and a terminator; 500 and more take the
# second query.
. "$QB_SOURCE/tests/lib.sh"
deadline 120
world_up

# long_path LEN TAG: a full path on U: of LEN characters, folders of 99.
long_path() {
    local s=$2 i=0 chars=abcdefghijklmnopqrstuvwxyz0123456789
    while [ ${#s} -lt $(($1 - 3)) ]; do
        if [ $((${#s} % 100)) = 99 ]; then s+='\'; else s+=${chars:$((i % 36)):1}; i=$((i + 1)); fi
    done
    local dir=${s%\\*}
    mkdir -p "$QUENBRAX_WORLD/volumes/U/${dir//\\//}"
    echo "U:\\$s"
}
# shortened TEXT MAX: the text after ShortenMiddle with that maximum.
shortened() {
    local h=$(($2 / 2))
    echo "${1:0:$((h - 2))}...${1: -$(($2 - h - 1))}"
}

declare -A path
for len in 300 499 500 1013; do path[$len]=$(long_path $len "n$len"); done
holder_start --device U: --file "${path[300]}" --file "${path[499]}" \
    --file "${path[500]}" --file "${path[1013]}"
holder=$HOLDER_PID
# The same holder under the name of a service host.
cp "$QB_BUILD/bin/holder.exe" "$QB_TMP/svchost.exe"
holder_start -p "$QB_TMP/svchost.exe" --file "${path[300]}"
service=$HOLDER_PID

qb U: -h -na
expect_rc 3
for line in '\\.\U:' "${path[300]}" "${path[499]}" "${path[500]}"; do
    expect_line "[$holder] holder.exe : $line"
done
expect_line "[$service] svchost.exe : ${path[300]}"
expect_text "[$holder] holder.exe : ${path[1013]:0:200}"

term_start narrow 40 60 "$QB_BUILD/bin/Quenbrax.exe" U: -h -na -w:1
# The outcome line, not the pane's exit status: tmux may never collect that.
term_wait narrow failed 60 || fail "no outcome on the narrow console"
screen=$(term_capture narrow | sed 's/ *$//')
lines=('holder.exe : \\.\U:' "svchost.exe [$service] : $(shortened "${path[300]}" $((22 - ${#service})))")
for len in 300 499 500 1013; do lines+=("holder.exe : $(shortened "${path[$len]}" 26)"); done
for line in "${lines[@]}"; do
    grep -qxF -- "$line" <<<"$screen" || fail "no line '$line' (${#line} characters) on the narrow console"
done
