# The simulated drivers, checked with sim_check in a VeraCrypt 1.26 world without
# system32\drivers\veracrypt.sys and in a 1.17 world whose driver file is 1.26's;
# then requests are worked on inside the caller's call, one at a time, as the
# real drivers do; then the world goes down while a dismount request is held,
# without leaving a Wine process, and comes up again for the tests that follow.
. "$QB_SOURCE/tests/lib.sh"
deadline 420

for world in "1.26 none" "1.17 1.26"; do
    set -- $world
    world_up --veracrypt-version "$1" --veracrypt-file "$2"
    SIM_VERACRYPT=$1 world_exec "$QB_BUILD/bin/sim_check.exe" --gtest_brief=1 </dev/null ||
        fail "sim_check failed in a VeraCrypt $1 world with driver file $2"
done

# An overlapped caller is not told "pending": the call returns with the
# answer. A mount list sent meanwhile waits for the dismount (U: is gone from
# it); so does one sent while the driver is busy (a mount in progress), and a
# forced dismount of a held volume takes its time in the driver.
world_up
simctl plan U: delay=3000
world_exec simctl dismount U: --overlapped >"$QB_TMP/overlapped" </dev/null &
within 10 eval 'world_exec simctl status | grep -q " held=1"'
list=$(world_exec simctl mount-list veracrypt </dev/null | tr -d '\r')
wait $!
answered=$(tr -d '\r' <"$QB_TMP/overlapped" | sed -n 's/^answered after \([0-9]*\) ms$/\1/p')
check "overlapped dismount: $(head -n 1 "$QB_TMP/overlapped")" test "${answered:-0}" -ge 2900
expect_eq "${list% ms=*}" "drives=V" "mount list sent during a dismount"
simctl busy veracrypt 1500
list=$(world_exec simctl mount-list veracrypt </dev/null | tr -d '\r')
check "mount list during busy: $list" test "${list#* ms=}" -ge 1000
holder_start --device V:
simctl force-time V: 1500 + log --clear >/dev/null
expect_eq "$(world_exec simctl dismount V: --force </dev/null | tr -d '\r')" "answer=0" \
    "forced dismount"
log=$(world_exec simctl log </dev/null | tr -d '\r')
waited=$(sed -n 's/.* V: force=1 answer=0 waited=\([0-9]*\)$/\1/p' <<<"$log")
check "forced dismount with force-time 1500: $log" test "${waited:-0}" -ge 1400
holder_stop

simctl mount veracrypt H: '\??\C:\vols\h.hc' + plan H: hang
world_exec simctl dismount H: </dev/null >/dev/null 2>&1 &
until world_exec simctl status | grep -q " held=1"; do sleep 0.2; done
"$QB_SOURCE/tools/world" down >/dev/null
wait $!
left=$(grep -lzxF "WINEPREFIX=$WINEPREFIX" /proc/[0-9]*/environ 2>/dev/null |
       while IFS=/ read -r _ _ pid _; do readlink "/proc/$pid/exe"; done | grep -c wine)
expect_eq "$left" 0 "Wine processes left after tools/world down"
world_up
