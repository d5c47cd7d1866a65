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
. "$QB_SOURCE/tests/lib.sh"
export WINEPREFIX=$QB_BUILD/wineprefix
work=$QB_TMP
mkdir -p "$work/app" "$work/cwd" "$work/markers" "$work/control"
cp "$QB_BUILD/bin/Quenbrax.exe" "$QB_BUILD/bin/naive_loader.exe" "$work/app/"
for name in version.dll dbghelp.dll shlwapi.dll; do
    cp "$QB_BUILD/bin/plant.dll" "$work/app/$name"
    cp "$QB_BUILD/bin/plant.dll" "$work/cwd/$name"
done
# run TRACE PROGRAM ARGS...: in the planted folder, WINEDEBUG=TRACE into trace.txt.
run() {
    local trace=$1
    shift
    (cd "$work/cwd" && WINEDEBUG=$trace timeout 60 "$QB_SOURCE/tools/wine-run" "$@" \
        </dev/null >"$work/out.txt" 2>"$work/trace.txt")
}
export QB_PLANT_MARKERS=$(winpath "$work/markers")
for args in "" "U: -?" "1:" "C:\\no\\such\\container.hc -h"; do
    run +loaddll "$work/app/Quenbrax.exe" $args
    rc=$?
    [[ $rc == [01235] ]] || fail "'$args': exit $rc: $(cat "$work/out.txt")"
    grep -q "Tarnwick V1" "$work/out.txt" || fail "'$args': banner without version"
    ! grep -E 'Loaded L"[^"]*\\\\(app|cwd)\\\\dbghelp\.dll"' "$work/trace.txt" ||
        fail "'$args' loaded a planted DLL"
done
expect_eq "$(ls "$work/markers")" "" "markers of planted DLL code that ran"
QB_PLANT_MARKERS=$(winpath "$work/control") WINEDLLOVERRIDES="version=n,b" run -all "$work/app/naive_loader.exe"
[ -n "$(ls -A "$work/control")" ] ||
    fail "planted code loaded by the naive loader left no marker; the check proves nothing"

# Wine's relay trace lists the calls of the program's main thread; those made
# by the program itself return into its image (64 KiB at most here).
run +loaddll,+relay "$work/app/Quenbrax.exe" 1:
read -r thread base < <(sed -n 's/^\([0-9a-f]*\):trace:loaddll:.*\\Quenbrax\.exe" at \([0-9A-Fa-f]*\).*/\1 \2/p' \
    "$work/trace.txt" | head -n 1)
first=
while read -r ret call; do
    offset=$((16#$ret - 16#${base:-0}))
    [ $offset -ge 0 ] && [ $offset -lt 65536 ] && { first=$call; break; }
done < <(sed -n "s/^${thread:-none}:Call \(.*\) ret=\([0-9a-f]*\)\$/\2 \1/p" "$work/trace.txt")
rm -f "$work/trace.txt"
expect_eq "$first" "KERNEL32.SetErrorMode(00008001)" \
    "the program's first call (SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX)"
