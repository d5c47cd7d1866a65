# The simulated drivers, checked with sim_check in a VeraCrypt 1.26 world without
# system32\drivers\veracrypt.sys and in a 1.17 world whose driver file is 1.26's;
# then the world goes down while a dismount request is held, without leaving a
# Wine process, and comes up again for the tests that follow.
. "$QB_SOURCE/tests/lib.sh"
deadline 420

for world in "1.26 none" "1.17 1.26"; do
    set -- $world
    world_up --veracrypt-version "$1" --veracrypt-file "$2"
    SIM_VERACRYPT=$1 world_exec "$QB_BUILD/bin/sim_check.exe" --gtest_brief=1 </dev/null ||
        fail "sim_check failed in a VeraCrypt $1 world with driver file $2"
done

simctl mount veracrypt H: '\??\C:\vols\h.hc' + plan H: hang
world_exec simctl dismount H: </dev/null >/dev/null 2>&1 &
until world_exec simctl status | grep -q " held=1"; do sleep 0.2; done
"$QB_SOURCE/tools/world" down >/dev/null
wait $!
left=$(grep -lzxF "WINEPREFIX=$WINEPREFIX" /proc/[0-9]*/environ 2>/dev/null |
       while IFS=/ read -r _ _ pid _; do readlink "/proc/$pid/exe"; done | grep -c wine)
expect_eq "$left" 0 "Wine processes left after tools/world down"
world_up
