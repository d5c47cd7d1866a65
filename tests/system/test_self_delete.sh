#!/bin/bash
# -s: after a run that reached an outcome, a hidden batch beside the program
# deletes it once the process has ended, then itself. Each case runs a copy
# of Quenbrax.exe in a folder of its own. file_holder keeps a copy open (no
# delete sharing) for a few seconds, so the waiting batch is sure to be seen.
# Wine runs here as root, which ignores missing write permission on a folder:
# the folder without write access is made with chattr +i. A file without write
# permission is read-only to Wine, and Wine will not delete it, root or not.
. "$QB_SOURCE/tests/system/lib.sh"

file_holder=$QB_BUILD/bin/file_holder.exe
[ -f "$file_holder" ] || die "no $file_holder"
locked=$QB_TMP/locked
trap 'rc=$?; chattr -i "$locked" 2>/dev/null; (exit $rc); _qb_finish' EXIT

world_up

# run_copy DIR ARGS...: DIR/Quenbrax.exe ARGS, output in QB_OUT, code in QB_RC.
run_copy() {
    local dir=$1
    shift
    QB_CALLS=$((QB_CALLS + 1))
    QB_OUT=$QB_TMP/qb.$QB_CALLS.out
    world_exec "$dir/Quenbrax.exe" "$@" </dev/null >"$QB_OUT" 2>&1
    QB_RC=$?
    echo "--- $dir/Quenbrax.exe $* (exit $QB_RC)"
    tr -d '\r' <"$QB_OUT"
}

new_copy() {
    mkdir -p "$1"
    cp "$QB_BUILD/bin/Quenbrax.exe" "$1/Quenbrax.exe"
}

mount_u() {
    simctl mount veracrypt U: '\??\C:\vols\private.hc' --label PRIVATE --if-missing >/dev/null
}

# gone_within SECONDS PATH...: true once none of the paths exists.
gone_within() {
    local limit=$(($1 * 10)) i p any
    shift
    for ((i = 0; i < limit; i++)); do
        any=0
        for p in "$@"; do [ -e "$p" ] && any=1; done
        [ $any = 0 ] && return 0
        sleep 0.1
    done
    return 1
}

# A held copy after a successful eject: the batch waits beside it, and both
# are gone a few seconds after the copy is let go.
held_case() {
    local dir=$1
    new_copy "$dir"
    mount_u
    rm -f "$QB_TMP/holder.out"   # the previous case's "holding" must not count
    rm -f "$QB_TMP/holder.stop"
    world_exec "$file_holder" "$(winpath "$dir/Quenbrax.exe")" 60000 \
        "$(winpath "$QB_TMP/holder.stop")" >"$QB_TMP/holder.out" 2>&1 &
    local holder=$! i
    for ((i = 0; i < 300; i++)); do
        grep -qs holding "$QB_TMP/holder.out" && break
        sleep 0.1
    done
    grep -q holding "$QB_TMP/holder.out" || fail "holder: $(cat "$QB_TMP/holder.out")"
    run_copy "$dir" U: -s
    expect_rc 0
    expect_line "success"
    [ -e "$dir/del_Quenbrax.bat" ] || fail "no del_Quenbrax.bat beside the held copy in $dir"
    [ -e "$dir/Quenbrax.exe" ] || fail "copy in $dir deleted while held"
    touch "$QB_TMP/holder.stop"
    wait "$holder"
    gone_within 10 "$dir/Quenbrax.exe" "$dir/del_Quenbrax.bat" ||
        fail "copy or batch still in $dir 10 s after the copy was let go"
}

held_case "$QB_TMP/plain"
# A space, %, a defined variable's name, & and parentheses in the folder name.
held_case "$QB_TMP/Tools 50% & %OS% (x)"

# A folder name the ANSI code page cannot spell: the program's path is
# unknown, so nothing is deleted, least of all the copy in Lukasz, the
# look-alike path that the ANSI calls give.
stroke=$QB_TMP/$(printf '\xc5\x81')ukasz
new_copy "$stroke"
new_copy "$QB_TMP/Lukasz"
mount_u
run_copy "$stroke" U: -s
expect_rc 0
expect_line "success"
sleep 2
for dir in "$stroke" "$QB_TMP/Lukasz"; do
    [ "$(ls "$dir")" = Quenbrax.exe ] || fail "$dir holds: $(ls "$dir")"
done

# A read-only copy is deleted as well.
new_copy "$QB_TMP/readonly"
chmod a-w "$QB_TMP/readonly/Quenbrax.exe"
mount_u
run_copy "$QB_TMP/readonly" U: -s
expect_rc 0
gone_within 10 "$QB_TMP/readonly/Quenbrax.exe" "$QB_TMP/readonly/del_Quenbrax.bat" ||
    fail "read-only copy or its batch still there after 10 s"

# A folder without write access: no batch, the copy stays, same exit code.
new_copy "$locked"
chattr +i "$locked" || die "chattr +i is not possible here"
mount_u
run_copy "$locked" U: -s
expect_rc 0
expect_line "success"
sleep 2
[ ! -e "$locked/del_Quenbrax.bat" ] || fail "batch written into the locked folder"
[ -e "$locked/Quenbrax.exe" ] || fail "copy in the locked folder deleted"
chattr -i "$locked"

# Runs that end early do nothing: a DriveSpec that is no volume, the help text.
new_copy "$QB_TMP/early"
run_copy "$QB_TMP/early" Q: -s
expect_rc 5
expect_text "Q: is not a Volume"
run_copy "$QB_TMP/early" U: -s -?
expect_rc 2
sleep 2
[ ! -e "$QB_TMP/early/del_Quenbrax.bat" ] || fail "batch after a run that ended early"
[ -e "$QB_TMP/early/Quenbrax.exe" ] || fail "copy deleted after a run that ended early"
