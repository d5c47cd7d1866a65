# The simulated drivers, checked with sim_check in a VeraCrypt 1.26 world and in
# a 1.17 world; then the world goes down without leaving a Wine process and
# comes up again for the tests that follow.
. "$QB_SOURCE/tests/system/lib.sh"
deadline 420

for version in 1.26 1.17; do
    world_up --veracrypt-version $version
    echo "--- sim_check, VeraCrypt $version"
    world_exec "$QB_BUILD/bin/sim_check.exe" --gtest_brief=1 </dev/null ||
        fail "sim_check failed in a VeraCrypt $version world"
done

"$QB_SOURCE/tools/world" down >/dev/null
left=$(grep -lzxF "WINEPREFIX=$WINEPREFIX" /proc/[0-9]*/environ 2>/dev/null |
       while IFS=/ read -r _ _ pid _; do readlink "/proc/$pid/exe"; done | grep -c wine)
expect_eq "$left" 0 "Wine processes left after tools/world down"
world_up
