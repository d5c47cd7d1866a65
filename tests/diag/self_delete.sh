#!/bin/bash
# Self-deletion end to end: self_delete_probe, copied as Quenbrax.exe into a
# folder, starts the deletion and ends; the batch beside it deletes the copy
# once it can, then itself. file_holder keeps the copy open for a while (no
# delete sharing) so that the batch is certain to be seen while it waits.
#   self_delete.sh PATH/self_delete_probe.exe PATH/file_holder.exe
set -u
probe=$1
holder=$2
work=${QB_BUILD:?}/diag-self-delete-test
failures=0

cleanup() {
    rm -rf "$work"
}
trap cleanup EXIT
cleanup
mkdir -p "$work"
cp "$holder" "$work/file_holder.exe"

fail() { echo "FAIL ($1): $2"; failures=$((failures + 1)); }

# gone_within SECONDS PATH...: true once none of the paths exists.
gone_within() {
    local limit=$(($1 * 10)) i
    shift
    for ((i = 0; i < limit; i++)); do
        local any=0 p
        for p in "$@"; do [ -e "$p" ] && any=1; done
        [ $any -eq 0 ] && return 0
        sleep 0.1
    done
    return 1
}

# run_probe CASE DIR EXIT_CODE [FILE]: runs DIR/FILE (Quenbrax.exe), checks
# its exit code.
run_probe() {
    local name=$1 dir=$2 code=$3 rc
    timeout 60 wine "$dir/${4:-Quenbrax.exe}" "$code" >/dev/null 2>&1
    rc=$?
    [ "$rc" -eq "$code" ] || fail "$name" "exit code $rc, expected $code"
}

# held_case CASE DIR: the batch appears beside the held copy, and both are
# gone a few seconds after the holder lets go.
held_case() {
    local name=$1 dir=$2
    mkdir -p "$dir"
    cp "$probe" "$dir/Quenbrax.exe"
    local windows_exe
    windows_exe=$(winepath -w "$dir/Quenbrax.exe" 2>/dev/null)
    rm -f "$work/holder.out" "$work/holder.stop"   # nothing left from the case before
    timeout 90 wine "$work/file_holder.exe" "$windows_exe" 60000 \
        "$(winepath -w "$work/holder.stop" 2>/dev/null)" >"$work/holder.out" 2>&1 &
    local holder_pid=$! i
    for ((i = 0; i < 300; i++)); do
        grep -qs holding "$work/holder.out" && break
        sleep 0.1
    done
    grep -q holding "$work/holder.out" || fail "$name" "holder: $(cat "$work/holder.out")"
    run_probe "$name" "$dir" 2
    sleep 1
    [ -e "$dir/del_Quenbrax.bat" ] || fail "$name" "no del_Quenbrax.bat while the copy is held"
    [ -e "$dir/Quenbrax.exe" ] || fail "$name" "copy deleted while held"
    grep -qaF 'goto Repeat' "$dir/del_Quenbrax.bat" 2>/dev/null ||
        fail "$name" "batch text: $(cat "$dir/del_Quenbrax.bat" 2>/dev/null)"
    touch "$work/holder.stop"
    wait "$holder_pid"
    gone_within 10 "$dir/Quenbrax.exe" || fail "$name" "copy still there 10 s after release"
    gone_within 5 "$dir/del_Quenbrax.bat" || fail "$name" "batch still there"
}

# Characters cmd would take apart: a space, %, a name of a defined variable,
# & and parentheses; and a letter that ANSI and OEM code pages spell apart.
# (tests/system/test_self_delete.sh runs the program itself: plain folder,
# read-only copy, folder without write access, runs that end early.)
held_case special "$work/Tools 50% & %OS% (x)"
held_case umlaut "$work/J$(printf '\xc3\xbc')rgen"

# A variable's name between "%" in the program's own name: the batch is found
# and both files go.
mkdir -p "$work/percent"
cp "$probe" "$work/percent/Quen%OS%brax.exe"
run_probe percent "$work/percent" 0 "Quen%OS%brax.exe"
gone_within 10 "$work/percent"/* || fail percent "left behind: $(ls "$work/percent")"

if [ "$failures" -ne 0 ]; then
    ls -laR "$work"
    exit 1
fi
echo "self-deletion: all cases passed"
