#!/bin/bash
# The crash filter end to end: crash_probe, built as Quenbrax.exe is, faults
# with an access violation deep in its own calls, and the filter reports it
# and writes a minidump. Every frame on the way must carry unwind data: the
# probe's own walk passes its 11 frames (the walk, 9 levels, the entry).
# Wine runs here as root, which ignores a folder's missing write permission:
# a folder without write access is made with the immutable flag (chattr +i).
# After the filter, Wine's default handling starts winedbg, whose report also
# lands on standard output; each crash takes some seconds for that.
. "$QB_SOURCE/tests/lib.sh"
work=$QB_TMP
trap 'rc=$?; chattr -i "$work/readonly" 2>/dev/null; (exit $rc); _qb_finish' EXIT
mkdir -p "$work/prog" "$work/readonly" "$work/cwd"

# crash DIR ARGS...: the probe copied into DIR crashes; QB_OUT holds its output.
crash() {
    local dir=$1
    shift
    cp -n "$QB_BUILD/bin/crash_probe.exe" "$dir/"
    QB_OUT=$work/out.$((++QB_CALLS))
    (cd "$work/cwd" && world_exec "$dir/crash_probe.exe" "$@" </dev/null >"$QB_OUT" 2>/dev/null)
}
dump_path() { out_text | sed -n 's/^MiniDump written to //p' | head -n 1; }
is_minidump() { [ "$(head -c 4 "$1" 2>/dev/null)" = MDMP ]; }

# Beside the program, replacing the dump of an earlier crash.
printf 'left by an earlier crash\n' >"$work/prog/crash_probe.dmp"
crash "$work/prog"
expect_line "frames of its own walked: 11"
out_text | grep -qE '^Exception 0xC0000005 at 0x[0-9A-F]{16}!$' ||
    fail "no exception line in the form 'Exception 0x%08X at 0x%p!'"
expect_eq "$(dump_path)" "$(winpath "$work/prog/crash_probe.dmp")" "dump beside the program"
expect_text "please send it to support@"
check "crash_probe.dmp is no minidump" is_minidump "$work/prog/crash_probe.dmp"

# A folder without write access: the temporary directory, as Plomvane.dmp.
cp "$QB_BUILD/bin/crash_probe.exe" "$work/readonly/"
chattr +i "$work/readonly" || die "chattr +i is not possible here"
crash "$work/readonly"
temp_dump=$(dump_path)
[[ $temp_dump == *\\Plomvane.dmp ]] || fail "dump named '$temp_dump', expected ...\\Plomvane.dmp"
temp_unix=$(winepath -u "$temp_dump" 2>/dev/null)
check "$temp_dump is no minidump" is_minidump "$temp_unix"
check "a dump in the read-only folder" [ ! -e "$work/readonly/crash_probe.dmp" ]

# (A crash before the program path is known takes the temporary directory
# too: unit test ComposeDumpPaths.)
# Without a loadable dump helper: the exception line, the message, no file.
rm -f "$work/prog/crash_probe.dmp" "$temp_unix"
crash "$work/prog" missing-helper
expect_text "Exception 0xC0000005 at 0x"
expect_text "cannot load dbghelp.dll -> no crashdump"
expect_no_text "MiniDump written"
check "a dump file was written" test ! -e "$work/prog/crash_probe.dmp" -a ! -e "$temp_unix"
rm -f "$temp_unix"
