#!/bin/bash
# CPU time of the key-watch thread over 5 s of waiting for a key, in a real
# console (Wine in tmux) and with standard input a pipe, against an idle
# process of the same program as the baseline. Prints figures; never fails on them.
#   QB_BUILD=... bench/keywatch_cpu.sh [MILLISECONDS]
QB_SOURCE=$(cd "$(dirname "$0")/.." && pwd)
. "$QB_SOURCE/tests/lib.sh"
ms=${1:-5000}
probe="$QB_BUILD/bin/keywatch_probe.exe"
[ -f "$probe" ] || die "$probe not built"
"$QB_SOURCE/tools/world" up >/dev/null || die "the world did not come up"

for kind in idle console pipe; do
    term_start "$kind" 120 10 "$probe" cpu "$ms" "$kind"
    term_wait "$kind" "cpu done" $((ms / 1000 + 30)) || die "probe $kind did not finish"
    line=$(term_capture "$kind" | grep -m1 "^cpu $kind")
    eval "$(echo "$line" | sed -n 's/.*watch thread \([0-9]*\) us, process \([0-9]*\) us$/watch=\1 process=\2/p')"
    printf '%-8s watch thread %6d us   process %6d us\n' "$kind" "$watch" "$process"
    eval "watch_$kind=$watch process_$kind=$process"
    term_stop "$kind"
done
share() { # microseconds of CPU over the wait -> percent of one core, 2 decimals
    local us=$(($1 < 0 ? 0 : $1))
    local hundredths=$((us * 10000 / (ms * 1000)))
    printf '%d.%02d%%' $((hundredths / 100)) $((hundredths % 100))
}
echo "share of one core: idle baseline $(share "$process_idle"), console $(share "$process_console"), pipe $(share "$process_pipe"); above baseline: console $(share $((process_console - process_idle))), pipe $(share $((process_pipe - process_idle))) (Wine counts CPU time in 10 ms steps)"
