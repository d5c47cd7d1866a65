# Drive-letter links after a dismount: the letter's own link when the driver
# leaves it behind, links that name another volume, and links of the letter in
# other logon sessions' DOS-device directories (with and without -db).
. "$QB_SOURCE/tests/system/lib.sh"
. "$QB_SOURCE/tests/system/eject_lib.sh"
deadline 300

sessions() {
    simctl session-list | tr -d '\r' | sort | tr '\n' ' ' | sed 's/ $//'
}

fresh_world

# The driver leaves the link of a volume mounted with --keep-link: Quenbrax
# removes it, so the letter names nothing afterwards.
simctl vanish U: + mount veracrypt U: '\??\C:\vols\private.hc' --label PRIVATE --keep-link \
    >/dev/null
qb U: -na
expect_rc 0
expect_output <<'END'
ejecting VeraCrypt volume U:\ "PRIVATE"...
 OK
success
END
qb U: -na
expect_rc 5
expect_line "U: is not a Volume"

# A link that names another volume by the time of the dismount is left alone:
# during the loop U:'s volume moves to K: and V:'s link takes the letter U:.
simctl mount veracrypt U: '\??\C:\vols\private.hc' --label PRIVATE >/dev/null
log_take
holder_start --device U:
swap_links() {
    world_exec simctl relink U: K: + relink V: U: </dev/null >/dev/null
    touch "${QB_HOLDER_STOPS[$HOLDER]}"
}
after_requests 4 0.1 swap_links
qb U: -na -l
wait $AFTER_PID
expect_rc 0
expect_line " OK"
log_take
expect_contains "$LOG" "U: force=0 answer=0" "request log"
holder_stop
# U: still names V:'s volume: the next run ejects that volume through U:, and
# the driver is asked for V, the drive it was mounted with.
qb U: -na
expect_rc 0
expect_line " OK"
log_take
expect_log V:0:0

# Links of U: in other sessions: only the one that leads to the ejected
# volume's device goes; a folder named like one, the other product's device,
# another letter's device and other letters stay.
world_up
simctl session-link qbA U: '\Device\VeraCryptVolumeU' \
    + session-link qbB U: '\??\C:\CryptVolumes' \
    + session-link qbC U: '\Device\TrueCryptVolumeU' \
    + session-link qbD W: '\Device\VeraCryptVolumeW' \
    + session-link qbF U: '\Device\VeraCryptVolumeV' >/dev/null
qb U: -na -db
expect_rc 0
expect_line " (and U: deleted from other user context)"
expect_line "success"
for line in \
    'DeleteAllDosDevices(\Sessions\0\DosDevices, U:, \Device\VeraCryptVolumeU)...' \
    '\Sessions\0\DosDevices\qbA\U: found' \
    "symlink target is '\\Device\\VeraCryptVolumeU'" \
    'NtMakeTemporaryObject stat=SUCCESS' \
    '-> \Sessions\0\DosDevices\qbA\U: has been deleted' \
    '\Sessions\0\DosDevices\qbB\U: found' \
    "symlink target is '\\??\\C:\\CryptVolumes'" \
    '\Sessions\0\DosDevices\qbC\U: found' \
    "symlink target is '\\Device\\TrueCryptVolumeU'" \
    '\Sessions\0\DosDevices\qbF\U: found' \
    "symlink target is '\\Device\\VeraCryptVolumeV'"; do
    expect_line "$line"
done
# The walk's lines, from its first to the success note: nothing else.
walk=$(tr -d '\r' <"$QB_OUT" | sed -n '/^DeleteAllDosDevices(/,/^ (and U: deleted/p' | grep -c '')
expect_eq "$walk" 12 "lines of the session walk"
expect_no_text "qbD"
expect_eq "$(sessions)" 'qbB\U: -> \??\C:\CryptVolumes qbC\U: -> \Device\TrueCryptVolumeU qbD\W: -> \Device\VeraCryptVolumeW qbF\U: -> \Device\VeraCryptVolumeV' \
    "session links left"

# Without -db the note ends the OK line; a dismount at the forced third try
# cleans up as well.
simctl mount veracrypt U: '\??\C:\vols\private.hc' --label PRIVATE \
    + session-link qbA U: '\Device\VeraCryptVolumeU' >/dev/null
holder_start --device U:
qb U: -na -f
expect_rc 1
expect_output <<'END'
ejecting VeraCrypt volume U:\ "PRIVATE"...
VeraCrypt: FILES_OPEN
VeraCrypt: FILES_OPEN OK (and U: deleted from other user context)
success (by force)
END
expect_crlf
holder_stop

# A letter that exists only in another session is deleted there and the run
# ends as a success; next time the letter is no volume at all.
qb W: -na
expect_rc 0
expect_output <<'END'
W: deleted from other user context
success
END
expect_crlf
case "$(sessions)" in *'\W:'*) fail "W: is still linked: $(sessions)" ;; esac
qb W: -na
expect_rc 5
expect_line "W: is not a Volume"

# ...unless it leads elsewhere, here to another letter's volume device: then
# it is no volume, and stays.
simctl session-link qbE W: '\Device\VeraCryptVolumeU' >/dev/null
qb W: -na
expect_rc 5
expect_output <<'END'
W: is not a Volume
END
expect_contains "$(sessions)" 'qbE\W: -> \Device\VeraCryptVolumeU' "W: link left"

world_up
