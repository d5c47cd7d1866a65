#!/bin/bash
# "Quenbrax U: -h": the report of the processes that hold the volume, with
# output redirected (the console forms are in tests/terminal/test_handles_*).
#
# Holders keep the volume device U: open, so the driver refuses the dismount
# and the report runs after the first try. Wine names a file on the volume
# \??\U:\docs\readme.txt in NtQueryObject (Windows: \Device\VeraCryptVolumeU\
# docs\readme.txt); the report shows both forms as U:\docs\readme.txt. A
# handle on the volume device is \Device\VeraCryptVolumeU, shown as \\.\U:.
. "$QB_SOURCE/tests/system/lib.sh"
. "$QB_SOURCE/tests/system/handles_lib.sh"
world_up
vol=$(volume_dir U)
clean_volume() { rm -rf "$vol/tools" "$vol/lib" "$vol"/lock*.txt "$vol/held.txt" "$vol/top.txt" "$vol/docs/deep.txt"; }
clean_volume

# Nobody holds anything: the driver is told to refuse three times.
simctl plan U: 6,6,6
qb U: -h
expect_rc 3
expect_line "checking for open handles... none found"

# One holder of the device: "[PID] exe : \\.\U:", shown before the second try.
holder_start --device U:
qb U: -h
expect_rc 3
expect_line "checking for open handles..."
expect_eq "$(report_lines)" "checking for open handles...
[$HOLDER_PID] holder.exe : \\\\.\\U:" "report"
# The report comes between the first and the second refusal.
order=$(tr -d '\r' <"$QB_OUT" | grep -nE '^(VeraCrypt: FILES_OPEN|\[[0-9]+\] holder\.exe)' | cut -d: -f2- | head -n 3 | tr '\n' '|')
expect_eq "$order" "VeraCrypt: FILES_OPEN|[$HOLDER_PID] holder.exe : \\\\.\\U:|VeraCrypt: FILES_OPEN|" "order of first try, report, second try"

# -db: the handle value in front, redirected or not.
qb U: -h -db
expect_rc 3
expect_line_match '0x[0-9A-F]+ holder\.exe : \\\\\.\\U:'
expect_no_text "[$HOLDER_PID] holder.exe"
holder_stop

# Files on the volume; a process started from a copy of holder on the volume
# (listed first, by its image path); root files that nobody reported holds.
mkdir -p "$vol/tools"
cp "$QB_BUILD/bin/holder.exe" "$vol/tools/app.exe"
program_start 'U:\tools\app.exe' --device U:
app=$HOLDER_PID
holder_start --device U: --file 'U:\docs\readme.txt' --file 'U:\top.txt' --deny-share 'U:\held.txt'
holder=$HOLDER_PID
# A process whose name is on the excluded list (compared ignoring case) is
# never examined: its locked root files show as "no read", ten at most; a file
# in a subfolder is never looked at.
cp "$hog" "$QB_TMP/LSASS.EXE"
locks=()
for i in 01 02 03 04 05 06 07 08 09 10 11; do locks+=(--lock "U:\\lock$i.txt"); done
program_start "$QB_TMP/LSASS.EXE" "${locks[@]}" --lock 'U:\docs\deep.txt'
qb U: -h
expect_rc 3
report=$(report_lines)
expect_eq "$(echo "$report" | sed -n 2p)" "[$app] U:\\tools\\app.exe" "first holder line"
expect_line "[$app] app.exe : \\\\.\\U:"
expect_line "[$holder] holder.exe : \\\\.\\U:"
expect_line "[$holder] holder.exe : U:\\docs\\readme.txt"
expect_line "[$holder] holder.exe : U:\\top.txt"
expect_line "[$holder] holder.exe : U:\\held.txt"
expect_no_text "LSASS.EXE"
expect_no_text "no read: U:\\held.txt"
expect_no_text "no read: U:\\docs"
expect_no_text "deep.txt"
no_read=$(echo "$report" | grep -cE '^no read: U:\\lock(0[1-9]|1[01])\.txt$')
expect_eq "$no_read" 10 "no read lines of the eleven locked root files"
expect_eq "$(echo "$report" | grep -c '^no read: ')" 10 "no read lines"

# -hv: only processes with a visible top-level window. Without a display Wine
# has no visible windows at all, so no handle holder is listed; image holders
# and unreadable root files still are. (tests/desktop has the case with windows.)
qb U: -hv
expect_rc 3
expect_line "[$app] U:\\tools\\app.exe"
expect_no_text "holder.exe :"
expect_no_text "app.exe :"
expect_eq "$(report_lines | grep -c '^no read: ')" 10 "no read lines with -hv"

for n in "${!QB_HOLDERS[@]}"; do holder_stop "$n"; done

# A DLL loaded from the volume holds it through an image section, which no
# handle shows: the process is named with the module, like a handle holder.
mkdir -p "$vol/lib"
cp "$QB_BUILD/bin/simplugin.dll" "$vol/lib/plugin.dll"
holder_start --device U: --load-dll 'U:\lib\plugin.dll'
qb U: -h
expect_rc 3
expect_line "[$HOLDER_PID] holder.exe : U:\\lib\\plugin.dll"
holder_stop

clean_volume
