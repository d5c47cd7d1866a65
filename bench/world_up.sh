#!/bin/bash
# Times tools/world: up from nothing (new prefix), a second up on the running
# world, down, and up again on the existing prefix. Prints the figures; it
# never fails on time. The baseline is one Wine program run on the running
# world (simctl status), the least any up can cost. Uses its own world folder,
# so the build's world stays.
#   QB_BUILD=build-dir bench/world_up.sh
set -e
here=$(cd "$(dirname "$0")/.." && pwd)
export QB_BUILD=${QB_BUILD:-$here/build}
export QUENBRAX_WORLD=$QB_BUILD/bench-world
world=$here/tools/world

baseline_ms=
timed() {  # LABEL COMMAND...
    local start end ms
    start=$(date +%s%N)
    "${@:2}" >/dev/null
    end=$(date +%s%N)
    ms=$(( (end - start) / 1000000 ))
    if [ -n "$baseline_ms" ]; then
        printf '%-34s %6.1f s  %6.1f x baseline\n' "$1" "${ms}e-3" "$(( ms * 10 / baseline_ms ))e-1"
    else
        printf '%-34s %6.1f s\n' "$1" "${ms}e-3"
    fi
}

"$world" down >/dev/null 2>&1 || true
rm -rf "$QUENBRAX_WORLD"
echo "tools/world on $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
"$world" up >/dev/null
start=$(date +%s%N)
"$world" exec simctl status >/dev/null
baseline_ms=$(( ($(date +%s%N) - start) / 1000000 ))
printf '%-34s %6.1f s\n' "baseline: simctl status" "${baseline_ms}e-3"
"$world" down >/dev/null
rm -rf "$QUENBRAX_WORLD"
timed "up from nothing (new prefix)" "$world" up
timed "second up (world running)" "$world" up
timed "up --fresh (world running)" "$world" up --fresh
timed "down" "$world" down
timed "up again (prefix kept)" "$world" up
timed "down" "$world" down
rm -rf "$QUENBRAX_WORLD"
