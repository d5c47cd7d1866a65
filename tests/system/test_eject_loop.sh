# The retry loop (-l) with output redirected: passes about a second apart, a
# dot after each refusal, and the ways the loop ends: the holder lets go, the
# driver answers DRIVE_NOT_FOUND, the volume vanishes.
. "$QB_SOURCE/tests/system/lib.sh"
. "$QB_SOURCE/tests/system/eject_lib.sh"
deadline 300

remount_u() {
    simctl mount veracrypt U: '\??\C:\vols\private.hc' --label PRIVATE --if-missing >/dev/null
    log_take
}

fresh_world

# The holder lets go about two seconds into the loop; the next pass succeeds
# without force.
holder_start --device U:
after_requests 4 2 touch "${QB_HOLDER_STOPS[$HOLDER]}"
qb U: -na -l
wait $AFTER_PID
expect_rc 0
log_take
refused=$(($(echo "$LOG" | grep -c 'answer=6') - 3))
[ $refused -ge 1 ] || fail "no refused pass in the loop"
expect_output <<END
ejecting VeraCrypt volume U:\\ "PRIVATE"...
VeraCrypt: FILES_OPEN
VeraCrypt: FILES_OPEN
VeraCrypt: FILES_OPEN failed (open files)
look for open handles on 'U:' or '\\Device\\VeraCryptVolumeU'
Press Esc to cancel, F to force. Trying..
$(dotted_lines $refused "VeraCrypt: FILES_OPEN")
 OK
success
END
expect_crlf
expected_log="U:0:6 U:0:6 U:0:6"
for ((i = 0; i < refused; i++)); do expected_log+=" U:0:6"; done
expect_log $expected_log U:0:0
gaps=
for ((i = 5; i <= refused + 4; i++)); do
    gap=$(log_gap $i)
    gaps+=" $gap"
    [ "$gap" -ge 900 ] || fail "loop pass $i only $gap ms after the one before"
done
echo "measured: loop passes apart (ms):$gaps; first loop pass $(log_gap 4) ms after the third try"
holder_stop

# DRIVE_NOT_FOUND in the loop ends it: the volume lives in another user's context.
remount_u
simctl plan U: 6,6,6,6,5 >/dev/null
qb U: -na -l
expect_rc 3
expect_output <<'END'
ejecting VeraCrypt volume U:\ "PRIVATE"...
VeraCrypt: FILES_OPEN
VeraCrypt: FILES_OPEN
VeraCrypt: FILES_OPEN failed (open files)
look for open handles on 'U:' or '\Device\VeraCryptVolumeU'
Press Esc to cancel, F to force. Trying..
VeraCrypt: FILES_OPEN.
VeraCrypt: DRIVE_NOT_FOUND
 DRIVE_NOT_FOUND -> wrong user context?
failed
END
log_take
expect_log U:0:6 U:0:6 U:0:6 U:0:6 U:0:5

# Another refusal at the third try starts the loop with its name; the volume
# vanishing during the loop ends it as gone (exit 2), without another request.
remount_u
holder_start --device U:
simctl plan U: 6,6,13 >/dev/null
after_requests 4 0.2 world_exec simctl vanish U:
qb U: -na -l
wait $AFTER_PID
expect_rc 2
log_take
refused=$(($(echo "$LOG" | grep -c 'answer=6') - 2))
expect_output <<END
ejecting VeraCrypt volume U:\\ "PRIVATE"...
VeraCrypt: FILES_OPEN
VeraCrypt: FILES_OPEN
VeraCrypt: FILES_OPEN_LOCK failed (err FILES_OPEN_LOCK)
look for open handles on 'U:' or '\\Device\\VeraCryptVolumeU'
Press Esc to cancel, F to force. Trying..
$(dotted_lines $refused "VeraCrypt: FILES_OPEN")
TrueCrypt volume is gone
END
expect_crlf
case "$LOG" in *force=1*) fail "a forced request in a loop without F: $LOG" ;; esac
holder_stop
