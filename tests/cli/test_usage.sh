#!/bin/bash
# Usage text, banner, exit codes and hostile arguments of the real program, in
# a prefix without crypt drivers, output redirected to a file.
set -u
export WINEPREFIX=$QB_BUILD/wineprefix WINEDEBUG=-all
exe=$QB_BUILD/bin/Quenbrax.exe
out=$(mktemp)
trap 'rm -f "$out"' EXIT
failures=0
fail() { echo "FAIL line ${BASH_LINENO[0]}: $*"; failures=$((failures + 1)); }

launch=("$exe")   # how run starts the program
run() {  # ARGS...: runs the program, sets RC; output in $out without CRs
    timeout 60 "$QB_SOURCE/tools/wine-run" "${launch[@]}" "$@" </dev/null >"$out.raw" 2>/dev/null
    RC=$?
    tr -d '\r' <"$out.raw" >"$out"
    LINES_CRLF=$(grep -c $'\r$' "$out.raw")
    LINES_ALL=$(grep -c '' "$out.raw")
    rm -f "$out.raw"
}
expect_rc() { [ "$RC" = "$1" ] || fail "exit code $RC, expected $1"; }
has() { grep -qxF -- "$1" "$out" || fail "no line '$1'"; }
lacks() { ! grep -qF -- "$1" "$out" || fail "unexpected '$1'"; }

banner="Tarnwick V1.0.0 (x64) - 'ejects' a TrueCrypt volume"
usage=$(cat <<'EOF'

Usage:
Quenbrax DriveSpec [-f][-l][-h][-na][-w:nnnn]

DriveSpec is something that defines the TrueCrpyt Volume to eject,
e.g. U: (the TrueCrypt volume's drive letter)
or its VolumeName like Volume{GUID}
or the path of its container, e.g. a partition name or a file name
-f       force
-l       loop until success
-h       show open handles
-a       activate windows of applications with open handles
-na      no about info
-w:nnnn  wait nnnn milliseconds before close

'force' can be set afterwards while being in the try loop by pressing the F key.
EOF
)

# No arguments: banner, usage, an empty line (no driver: nothing listed), 5.
expect_usage_listing() {
    expect_rc 5
    expected=$(printf '\n%s\n%s\n%s\n' "$banner" "$(sed -n 3p "$out")" "$usage")
    [ "$(cat "$out")" = "$expected" ] || fail "usage output differs: $(diff <(echo "$expected") "$out")"
    [ "$(tail -c 1 "$out" | od -An -c | tr -d ' ')" = '\n' ] || fail "no final line feed"
    [ "$LINES_CRLF" = "$LINES_ALL" ] || fail "not every line ends in CR LF"
}
run
expect_usage_listing
# The same into a pipe that the caller reads only after the program has ended.
launch=("$QB_BUILD/bin/run_then_read.exe" 10000 "$(winepath -w "$exe" 2>/dev/null)")
run
expect_usage_listing
launch=("$exe")

run U: x
expect_rc 5
has "Usage:"
run U: -?
expect_rc 2
has "$banner"
has "Usage:"
run U: /?
expect_rc 2
# -? as the DriveSpec names no volume.
run -?
expect_rc 5
has "TrueCrypt volume not identified"
lacks "Usage:"

# Nine arguments after the program name are read; ten are too many.
run U: -na -na -na -na -na -na -na -na
expect_rc 5
has "U: is not a Volume"
lacks "Usage:"
lacks "$banner"
run U: -na -na -na -na -na -na -na -na -na
expect_rc 5
has "Usage:"

# Hostile DriveSpecs: never a crash, never a format.
long=$(head -c 5000 /dev/zero | tr '\0' 'x')
run "$long" -na
expect_rc 5
has "TrueCrypt volume not identified"
run '%s%n%x%p' -na
expect_rc 5
has "TrueCrypt volume not identified"
run '%s:' -na
expect_rc 5
run 1: -na -w:-5
expect_rc 5
has "TrueCrypt volume not identified"
run C: -na
expect_rc 5
grep -q ' is not a True- or VeraCrypt Volume$' "$out" || fail "C: not rejected as a non-crypt volume"
args=()
for i in $(seq 1 40); do args+=("-f%s$i"); done
run U: "${args[@]}"
expect_rc 5
has "Usage:"

[ $failures = 0 ] && echo "usage and exit codes: all checks passed"
exit $((failures > 0))
