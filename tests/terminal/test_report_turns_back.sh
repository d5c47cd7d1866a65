#!/bin/bash
# The report's bright lines (SGR 97 under Wine) turn back to the start-up
# colours however the eject ends: F forcing it in the loop while the holder
# stays, or the second try, after the report, once the holder let go
# (tests/terminal/test_report_colours.sh: holders that go during the loop).
. "$QB_SOURCE/tests/lib.sh"
deadline 180
bright() { term_colours "$1" | grep -c '^97|'; }

world_up
holder_start --device U: --file 'U:\docs\readme.txt'
term_start forced 100 40 "$QB_BUILD/bin/Quenbrax.exe" U: -h -l -na
term_wait forced Trying 90 || die "the retry loop did not start"
check "no bright line before F" test "$(bright forced)" -gt 0
term_keys forced f
term_wait forced "success (by force)" 30 || fail "no success after F"
expect_eq "$(bright forced)" 0 "bright lines after the forced eject"
term_stop forced
holder_stop

# The driver's plan stands for the holder that lets go during the report.
world_up
holder_start --device U:
simctl plan U: 6,0
term_start second 100 30 "$QB_BUILD/bin/Quenbrax.exe" U: -h -na
term_wait second success 30 || fail "no success at the second try"
expect_eq "$(bright second)" 0 "bright lines after the second try"
term_stop second
