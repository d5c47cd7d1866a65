#!/bin/bash
# Two ejects of one volume at once (a shortcut clicked twice, a log-off script
# and the user): the driver works on one request at a time, so one run
# dismounts the volume and the other's request finds it gone. That one ends
# as for a volume that went away (exit code 2, "not mounted any more"), not
# as a failure that a script would take for "still mounted". The first
# request stays inside the driver for 2 s, so both runs are sure to ask.
. "$QB_SOURCE/tests/lib.sh"
deadline 120
world_up
simctl plan U: delay=2000:0 + log --clear >/dev/null
pids=()
for run in 1 2; do
    (world_exec quenbrax U: -na </dev/null >"$QB_TMP/run$run" 2>&1; echo $? >"$QB_TMP/run$run.rc") &
    pids+=($!)
done
wait "${pids[@]}"
codes=$(cat "$QB_TMP/run1.rc" "$QB_TMP/run2.rc" | sort | tr '\n' ' ')
expect_eq "$codes" "0 2 " "exit codes of the two runs"
expect_eq "$(requests | awk '{ print $2 }' | sort | tr '\n' ' ')" "U:0:0 U:0:5 " "requests"
grep -q "TrueCrypt volume is gone" "$QB_TMP/run1" "$QB_TMP/run2" || fail "no run says the volume is gone"
