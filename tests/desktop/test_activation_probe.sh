#!/bin/bash
# Window activation called directly on windows of helper processes.
set -u
. "$QB_SOURCE/tests/desktop/desktop_lib.sh"
export WINEPREFIX=$DESKTOP_PREFIX
if [ "${1:-}" = --inside ]; then
    desktop_prefix_up
    wine "$QB_BUILD/bin/activation_probe.exe" --gtest_brief=1
    rc=$?
    desktop_prefix_down
    exit $rc
fi
desktop_run 300 bash "$0" --inside
rc=$?
desktop_prefix_down   # after a deadline the server is still up
exit $rc
