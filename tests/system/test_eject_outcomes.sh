# Eject outcomes without the retry loop: the lines, the exit code and the
# requests the driver received (drive, force flag, answer, order), with the
# output redirected to a file (CR LF, no colour escapes).
. "$QB_SOURCE/tests/system/lib.sh"
. "$QB_SOURCE/tests/system/eject_lib.sh"
deadline 240

remount_demo() {
    simctl mount veracrypt U: '\??\C:\vols\private.hc' --label PRIVATE --if-missing \
        + mount truecrypt T: '\??\C:\vols\legacy.tc' --if-missing >/dev/null
    log_take
}

fresh_world

# An unheld volume goes at the first try; afterwards neither the driver nor
# the drive letter knows it.
qb U: -na
expect_rc 0
expect_output <<'EOF'
ejecting VeraCrypt volume U:\ "PRIVATE"...
 OK
success
EOF
expect_crlf
log_take
expect_log U:0:0
expect_no_text "deleted from other user context"
status=$(simctl status | tr -d '\r')
case "$status" in *"VeraCrypt U:"*) fail "U: is still in the mount list: $status" ;; esac
qb U: -na
expect_rc 5
expect_line "U: is not a Volume"

# A volume held open: three unforced refusals, no forced request without -f.
remount_demo
holder_start --device U:
qb U: -na
expect_rc 3
expect_output <<'EOF'
ejecting VeraCrypt volume U:\ "PRIVATE"...
VeraCrypt: FILES_OPEN
VeraCrypt: FILES_OPEN
VeraCrypt: FILES_OPEN failed (open files)
failed
EOF
expect_crlf
log_take
expect_log U:0:6 U:0:6 U:0:6

# With -f the third try adds the forced request, about 500 ms later.
qb U: -na -f
expect_rc 1
expect_output <<'EOF'
ejecting VeraCrypt volume U:\ "PRIVATE"...
VeraCrypt: FILES_OPEN
VeraCrypt: FILES_OPEN OK
success (by force)
EOF
expect_crlf
log_take
expect_log U:0:6 U:0:6 U:0:6 U:1:0
gap=$(log_gap 4)
echo "measured: forced request ${gap} ms after the refused one"
[ "$gap" -ge 450 ] || fail "forced request only ${gap} ms after the refusal"
holder_stop

# Refusals other than FILES_OPEN end the escalation where they come, and never
# lead to a forced request, even with -f and -l.
remount_demo
simctl plan T: 13 >/dev/null
qb T: -na -f -l
expect_rc 3
expect_output <<'EOF'
ejecting TrueCrypt volume T:\ ...
TrueCrypt: FILES_OPEN_LOCK
failed
EOF
log_take
expect_log T:0:13

simctl plan U: 40 >/dev/null
qb U: -na -f
expect_rc 3
expect_output <<'EOF'
ejecting VeraCrypt volume U:\ "PRIVATE"...
VeraCrypt: 40
failed
EOF
log_take
expect_log U:0:40

simctl plan U: 6,13 >/dev/null
qb U: -na -f
expect_rc 3
expect_output <<'EOF'
ejecting VeraCrypt volume U:\ "PRIVATE"...
VeraCrypt: FILES_OPEN
VeraCrypt: FILES_OPEN_LOCK
failed
EOF
log_take
expect_log U:0:6 U:0:13

# At the third try only FILES_OPEN is forced; without -l any refusal there
# ends as "open files".
simctl plan U: 6,6,13 >/dev/null
qb U: -na -f
expect_rc 3
expect_output <<'EOF'
ejecting VeraCrypt volume U:\ "PRIVATE"...
VeraCrypt: FILES_OPEN
VeraCrypt: FILES_OPEN
VeraCrypt: FILES_OPEN_LOCK failed (open files)
failed
EOF
log_take
expect_log U:0:6 U:0:6 U:0:13

# The holder let go between the first and the second try: " OK" after the
# first refusal line, exit 0, no forced request. Links of the letter in other
# sessions go after this dismount too.
simctl plan U: 6 + session-link qbA U: '\Device\VeraCryptVolumeU' >/dev/null
qb U: -na -f
expect_rc 0
expect_output <<'EOF'
ejecting VeraCrypt volume U:\ "PRIVATE"...
VeraCrypt: FILES_OPEN OK (and U: deleted from other user context)
success
EOF
log_take
expect_log U:0:6 U:0:0

# A driver that answers only after 12 s: after 10 s "waiting for the driver..."
# is shown once, and the late answer is used as usual.
remount_demo
simctl plan U: delay=12000:0 >/dev/null
qb U: -na
expect_rc 0
expect_output <<'EOF'
ejecting VeraCrypt volume U:\ "PRIVATE"...
waiting for the driver...
 OK
success
EOF
log_take
expect_log U:0:0
