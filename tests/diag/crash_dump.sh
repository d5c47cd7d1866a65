#!/bin/bash
# The crash filter end to end: crash_probe, built as Quenbrax.exe is, faults
# with an access violation deep in its own calls, and the filter reports it
# and writes a minidump. Every frame on the way must carry unwind data: the
# probe's own walk passes its 11 frames (the walk, 9 levels, the entry).
#   crash_dump.sh PATH/crash_probe.exe
# Wine runs here as root, which ignores a folder's missing write permission
# (chmod 555, or the read-only attribute that Wine maps onto it): a folder
# without write access is made with the immutable flag (chattr +i) instead.
# After the filter, Wine's default handling starts winedbg, whose report also
# lands on standard output; each crash takes some seconds for that.
set -u
probe=$1
work=${QB_BUILD:?}/diag-crash-test
failures=0

cleanup() {
    chattr -i "$work/readonly" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
cleanup
mkdir -p "$work/prog" "$work/readonly" "$work/cwd"

fail() { echo "FAIL ($1): $2"; failures=$((failures + 1)); }
winpath() { winepath -w "$1" 2>/dev/null; }
unixpath() { winepath -u "$1" 2>/dev/null; }

# crash NAME DIR ARGS...: runs the probe copied into DIR, output in $work/NAME.out
crash() {
    local name=$1 dir=$2
    shift 2
    (cd "$work/cwd" && timeout 120 wine "$dir/crash_probe.exe" "$@" \
        >"$work/$name.out" 2>"$work/$name.err")
    tr -d '\r' <"$work/$name.out" >"$work/$name.txt"
}
has() { grep -qF -- "$3" "$work/$2.txt" || fail "$1" "no line '$3'"; }
lacks() { ! grep -qF -- "$3" "$work/$2.txt" || fail "$1" "unexpected '$3'"; }
dump_path() { sed -n 's/^MiniDump written to //p' "$work/$1.txt" | head -1; }
is_minidump() { [ "$(head -c 4 "$1" 2>/dev/null)" = MDMP ]; }

# Beside the program, replacing the dump of an earlier crash.
cp "$probe" "$work/prog/crash_probe.exe"
printf 'left by an earlier crash\n' >"$work/prog/crash_probe.dmp"
crash beside "$work/prog"
has beside beside "frames of its own walked: 11"
has beside beside "Exception 0xC0000005 at 0x"
grep -qE '^Exception 0xC0000005 at 0x[0-9A-F]{16}!$' "$work/beside.txt" ||
    fail beside "exception line not in the form 'Exception 0x%08X at 0x%p!'"
expected=$(winpath "$work/prog/crash_probe.dmp")
[ "$(dump_path beside)" = "$expected" ] ||
    fail beside "dump named '$(dump_path beside)', expected '$expected'"
has beside beside "please send it to support@"
is_minidump "$work/prog/crash_probe.dmp" || fail beside "crash_probe.dmp is no minidump"

# A folder without write access: the temporary directory, as Plomvane.dmp.
cp "$probe" "$work/readonly/crash_probe.exe"
chattr +i "$work/readonly" || fail readonly "chattr +i not possible here"
crash readonly "$work/readonly"
temp_dump=$(dump_path readonly)
case "$temp_dump" in
*\\Plomvane.dmp) ;;
*) fail readonly "dump named '$temp_dump', expected ...\\Plomvane.dmp" ;;
esac
temp_dump_unix=$(unixpath "$temp_dump")
is_minidump "$temp_dump_unix" || fail readonly "$temp_dump is no minidump"
[ ! -e "$work/readonly/crash_probe.dmp" ] || fail readonly "dump in the read-only folder"
chattr -i "$work/readonly"

# Crash before the program path is known: the temporary directory, not a
# bare ".dmp" in the current folder.
rm -f "$temp_dump_unix"
crash unknown "$work/prog" unknown-path
[ "$(dump_path unknown)" = "$temp_dump" ] ||
    fail unknown "dump named '$(dump_path unknown)', expected '$temp_dump'"
is_minidump "$temp_dump_unix" || fail unknown "$temp_dump is no minidump"
[ ! -e "$work/cwd/.dmp" ] || fail unknown "a bare .dmp in the current folder"

# Without a loadable dump helper: the exception line, the message, no file.
rm -f "$work/prog/crash_probe.dmp" "$temp_dump_unix"
crash missing "$work/prog" missing-helper
has missing missing "Exception 0xC0000005 at 0x"
has missing missing "cannot load dbghelp.dll -> no crashdump"
lacks missing missing "MiniDump written"
[ ! -e "$work/prog/crash_probe.dmp" ] && [ ! -e "$temp_dump_unix" ] ||
    fail missing "a dump file was written"

rm -f "$temp_dump_unix"
if [ "$failures" -ne 0 ]; then
    for f in "$work"/*.txt; do echo "--- $f"; head -8 "$f"; done
    exit 1
fi
echo "crash dump: all cases passed"
