#!/bin/bash
# DLLs planted in the current directory and beside the program under the names
# version.dll, dbghelp.dll and shlwapi.dll are never loaded; the program's
# first call turns the system's error dialog boxes off, before it loads any
# library.
#
# Wine differs from Windows here. Its loader resolves the static imports of the
# program and of Wine's own DLLs (shlwapi, and version through Wine's internal
# chain) by searching the program's folder first, before the program runs, and
# then maps its builtin code under that name; Windows takes shlwapi from its
# known-DLL list and the program loads version.dll by its full system path. So
# the checks are: no planted DLL's code ever runs (marker files), and the trace
# never resolves dbghelp.dll (loaded only at run time) to a planted copy. A
# naive loader with native DLLs preferred shows that planted code does leave a
# marker when it is loaded.
set -u
export WINEPREFIX=$QB_BUILD/wineprefix WINEDEBUG=-all
work=$(mktemp -d "$QB_BUILD/plant.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/app" "$work/cwd" "$work/markers"
cp "$QB_BUILD/bin/Quenbrax.exe" "$QB_BUILD/bin/naive_loader.exe" "$work/app/"
for name in version.dll dbghelp.dll shlwapi.dll; do
    cp "$QB_BUILD/bin/plant.dll" "$work/app/$name"
    cp "$QB_BUILD/bin/plant.dll" "$work/cwd/$name"
done
export QB_PLANT_MARKERS=$(winepath -w "$work/markers" 2>/dev/null)
planted='Loaded L"[^"]*\\\\(app|cwd)\\\\dbghelp\.dll"'
fail=0
for args in "" "U: -?" "1:" "C:\\no\\such\\container.hc -h"; do
    (cd "$work/cwd" && WINEDEBUG=+loaddll timeout 60 "$QB_SOURCE/tools/wine-run" \
        "$work/app/Quenbrax.exe" $args </dev/null >"$work/out.txt" 2>"$work/trace.txt")
    rc=$?
    case $rc in 0|1|2|3|5) ;; *) echo "FAIL: '$args' exit $rc"; cat "$work/out.txt"; fail=1 ;; esac
    grep -q "Tarnwick V1" "$work/out.txt" || { echo "FAIL: '$args' banner without version"; fail=1; }
    if grep -E "$planted" "$work/trace.txt"; then
        echo "FAIL: '$args' loaded a planted DLL"
        fail=1
    fi
done
if [ -n "$(ls -A "$work/markers")" ]; then
    echo "FAIL: planted DLL code ran: $(ls "$work/markers")"
    fail=1
fi
mkdir -p "$work/control"
(cd "$work/cwd" && QB_PLANT_MARKERS=$(winepath -w "$work/control" 2>/dev/null) \
    WINEDLLOVERRIDES="version=n,b" timeout 60 "$QB_SOURCE/tools/wine-run" \
    "$work/app/naive_loader.exe" </dev/null >/dev/null 2>&1)
if [ -z "$(ls -A "$work/control")" ]; then
    echo "FAIL: planted code loaded by the naive loader left no marker; the check proves nothing"
    fail=1
fi
# Wine's relay trace lists the calls of the program's main thread; those made
# by the program itself return into its image (64 KiB at most here).
(cd "$work/cwd" && WINEDEBUG=+loaddll,+relay timeout 60 "$QB_SOURCE/tools/wine-run" \
    "$work/app/Quenbrax.exe" 1: </dev/null >/dev/null 2>"$work/relay.txt")
loaded=$(sed -n 's/^\([0-9a-f]*\):trace:loaddll:.*\\Quenbrax\.exe" at \([0-9A-Fa-f]*\).*/\1 \2/p' \
    "$work/relay.txt" | head -n 1)
read -r thread base <<<"$loaded"
first=
while read -r ret call; do
    if [ $((16#$ret - 16#${base:-0})) -ge 0 ] && [ $((16#$ret - 16#${base:-0})) -lt 65536 ]; then
        first=$call
        break
    fi
done < <(sed -n "s/^${thread:-none}:Call \(.*\) ret=\([0-9a-f]*\)\$/\2 \1/p" "$work/relay.txt")
rm -f "$work/relay.txt"
if [ "$first" != "KERNEL32.SetErrorMode(00008001)" ]; then
    echo "FAIL: the program's first call is '$first', not SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX)"
    fail=1
fi
[ $fail = 0 ] && echo "no planted DLL loaded; SetErrorMode first"
exit $fail
