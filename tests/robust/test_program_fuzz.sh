#!/bin/bash
# 200 generated command lines through the real program (no crypt drivers in
# this prefix, so nothing is ejected): each run ends in time with 0, 1, 2, 3 or 5.
. "$QB_SOURCE/tests/lib.sh"
export WINEPREFIX=$QB_BUILD/wineprefix
deadline 520
timeout 500 "$QB_SOURCE/tools/wine-run" "$QB_BUILD/bin/cmdline_runner.exe" \
    20261206 200 "$(winpath "$QB_BUILD/bin/Quenbrax.exe")" || fail "cmdline_runner failed"
