# Every DriveSpec form names the volume whose eject is announced and requested
# (the driver's log shows the drive); the rejections end with their message and
# exit code 5 without any request. Output is redirected: no colours to see.
. "$QB_SOURCE/tests/system/lib.sh"
deadline 240

# qb DRIVESPEC, then: the first line is the announcement, the eject succeeded and
# the driver was asked to dismount exactly the given drive.
expect_eject() {  # DRIVESPEC ANNOUNCEMENT DRIVE
    qb "$1" -na
    expect_rc 0
    local first log
    first=$(tr -d '\r' <"$QB_OUT" | head -n 1)
    case "$first" in "$2"*) ;; *) fail "$1: announced '$first', expected '$2'" ;; esac
    log=$(simctl log --clear | tr -d '\r' | sed 's/^[0-9]* //')
    expect_eq "$log" "$3 force=0 answer=0" "$1: dismount requests"
}

expect_rejected() {  # DRIVESPEC MESSAGE
    qb "$1" -na
    expect_rc 5
    expect_eq "$(tr -d '\r' <"$QB_OUT")" "$2" "$1: output"
}

remount_private() {
    simctl mount veracrypt U: '\??\C:\vols\private.hc' --label PRIVATE --if-missing >/dev/null
}

world_up
simctl log --clear >/dev/null

# Drive letter: u, U:, u: and U:\ all name U:; the label is quoted.
for drivespec in u U: u: 'U:\'; do
    remount_private
    expect_eject "$drivespec" 'ejecting VeraCrypt volume U:\ "PRIVATE"...' U:
done

# Volume name, with the \\?\ prefix and a trailing backslash or bare, in any
# case; the volume has no label.
guid='{0b1c2d3e-4f50-6172-8394-a5b6c7d8e9f0}'
for drivespec in '\\?\Volume{0B1C2D3E-4F50-6172-8394-A5B6C7D8E9F0}\' "Volume$guid"; do
    simctl mount veracrypt W: '\??\C:\vols\guid.hc' --guid "$guid" >/dev/null
    expect_eject "$drivespec" 'ejecting VeraCrypt volume W:\ ...' W:
done

# Container: any part of its path, in any case, without the \??\ prefix.
for drivespec in 'C:\VOLS\PRIVATE.HC' private.hc; do
    remount_private
    expect_eject "$drivespec" 'ejecting VeraCrypt volume U:\ "PRIVATE"...' U:
done

# Several containers match: TrueCrypt before VeraCrypt, then A before Z. Each
# eject removes the winner, so the next run finds the next one.
simctl mount veracrypt Y: '\??\C:\vols\twin.hc' + mount veracrypt B: '\??\D:\twin.hc' \
    + mount truecrypt S: '\??\C:\other\twin.hc' >/dev/null
expect_eject twin.hc 'ejecting TrueCrypt volume S:\ ...' S:
expect_eject twin.hc 'ejecting VeraCrypt volume B:\ ...' B:
expect_eject twin.hc 'ejecting VeraCrypt volume Y:\ ...' Y:

# Rejections. Wine names drive C:'s device \Device\HarddiskVolume1.
remount_private
expect_rejected Q: 'Q: is not a Volume'
expect_rejected C: '\Device\HarddiskVolume1 is not a True- or VeraCrypt Volume'
expect_rejected 1: 'TrueCrypt volume not identified'
expect_rejected -? 'TrueCrypt volume not identified'
expect_rejected twin.hc 'TrueCrypt volume not identified'
expect_rejected 'Volume{00000000-0000-0000-0000-000000000000}' 'not a VolumeName'
# A closing brace one place off makes it a path, which matches no container.
expect_rejected 'Volume{0b1c2d3e-4f50-6172-8394-a5b6c7d8e9f}' 'TrueCrypt volume not identified'
expect_eq "$(simctl log | tr -d '\r')" "" "dismount requests after the rejections"

# A letter that exists only in another logon session is deleted there.
simctl session-link qbtest Q: '\Device\VeraCryptVolumeQ'
qb Q: -na
expect_rc 0
expect_output_lines=$(tr -d '\r' <"$QB_OUT")
expect_eq "$expect_output_lines" "$(printf 'Q: deleted from other user context\nsuccess\n')" "other session"
expect_eq "$(simctl session-list | tr -d '\r')" "" "session links left"
