#!/bin/bash
# Window activation called directly on windows of helper processes.
set -u
. "$QB_SOURCE/tests/desktop/desktop_lib.sh"
desktop_run 300 wine "$QB_BUILD/bin/activation_probe.exe" --gtest_brief=1
