#!/bin/bash
# DLLs planted in the current directory and beside the program under the names
# version.dll, dbghelp.dll and shlwapi.dll are never loaded.
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
[ $fail = 0 ] && echo "no planted DLL loaded"
exit $fail
