#!/bin/bash
# -s: after a run that reached an outcome, a hidden batch beside the program
# deletes it once the process has ended, then itself. Each case runs a copy of
# Quenbrax.exe in a folder of its own; a holder keeps some copies open (no
# delete sharing) for a while, so that the waiting batch is sure to be seen.
# Wine runs here as root, which ignores missing write permission on a folder:
# the folder without write access is made with chattr +i. A file without write
# permission is read-only to Wine, and Wine will not delete it, root or not.
. "$QB_SOURCE/tests/lib.sh"
locked=$QB_TMP/locked
trap 'rc=$?; chattr -i "$locked" 2>/dev/null; (exit $rc); _qb_finish' EXIT
world_up

# run_copy DIR [NAME] -- ARGS: a copy of Quenbrax.exe as DIR/NAME (default
# Quenbrax.exe, copied unless there) ejects U: with ARGS; a holder keeps the
# copy of a "held" DIR open meanwhile.
run_copy() {
    local dir=$1 name=Quenbrax.exe
    [ "$2" != -- ] && { name=$2; shift; }
    shift 2
    mkdir -p "$dir"
    [ -e "$dir/$name" ] || cp "$QB_BUILD/bin/Quenbrax.exe" "$dir/$name"
    simctl mount veracrypt U: '\??\C:\vols\private.hc' --label PRIVATE --if-missing
    [[ $dir == *held* ]] && holder_start --keep "$(winpath "$dir/$name")"
    world_run "$dir/$name" "$@"
}

# gone PATH...: none of the paths exists.
gone() { [ -z "$(ls -d "$@" 2>/dev/null)" ]; }

# Held copies: the batch waits beside the copy, and both are gone a few
# seconds after it is let go. A space, %, a defined variable's name, & and
# parentheses in the folder name; a letter that ANSI and OEM spell apart.
for dir in "$QB_TMP/held 50% & %OS% (x)" "$QB_TMP/held J$(printf '\xc3\xbc')rgen"; do
    run_copy "$dir" -- U: -s
    expect_rc 0
    expect_line success
    [ -e "$dir/del_Quenbrax.bat" ] || fail "no del_Quenbrax.bat beside the held copy in $dir"
    [ -e "$dir/Quenbrax.exe" ] || fail "copy in $dir deleted while held"
    holder_stop
    within 10 gone "$dir/Quenbrax.exe" "$dir/del_Quenbrax.bat" ||
        fail "copy or batch still in $dir 10 s after the copy was let go"
done

# A variable's name between "%" in the program's own name; a read-only copy.
run_copy "$QB_TMP/percent" 'Quen%OS%brax.exe' -- U: -s
expect_rc 0
within 10 gone "$QB_TMP/percent"/* || fail "left behind: $(ls "$QB_TMP/percent")"
mkdir -p "$QB_TMP/readonly"
install -m 444 "$QB_BUILD/bin/Quenbrax.exe" "$QB_TMP/readonly/"
run_copy "$QB_TMP/readonly" -- U: -s
within 10 gone "$QB_TMP/readonly"/* || fail "read-only copy or its batch still there after 10 s"

# Nothing is deleted: in a folder the ANSI code page cannot spell (neither the
# copy nor the one in Lukasz, the look-alike path the ANSI calls give), in a
# folder without write access (same exit code), after a DriveSpec that is no
# volume or the help text.
stroke=$QB_TMP/$(printf '\xc5\x81')ukasz
mkdir -p "$QB_TMP/Lukasz" "$locked"
cp "$QB_BUILD/bin/Quenbrax.exe" "$QB_TMP/Lukasz/"
cp "$QB_BUILD/bin/Quenbrax.exe" "$locked/"
run_copy "$stroke" -- U: -s
expect_line success
chattr +i "$locked" || die "chattr +i is not possible here"
run_copy "$locked" -- U: -s
expect_rc 0
run_copy "$QB_TMP/early" -- Q: -s
expect_rc 5
run_copy "$QB_TMP/early" -- U: -s -?
expect_rc 2
sleep 2
for dir in "$stroke" "$QB_TMP/Lukasz" "$locked" "$QB_TMP/early"; do
    expect_eq "$(ls "$dir")" Quenbrax.exe "files in $dir"
done
