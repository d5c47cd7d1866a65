# A volume whose drive letter was moved after mounting (U: to W:) is ejected
# through the letter it is reached by, whether named by that letter or by its
# container; the driver is asked for the drive it was mounted with.
. "$QB_SOURCE/tests/system/lib.sh"
. "$QB_SOURCE/tests/system/eject_lib.sh"
deadline 120

fresh_world
simctl relink U: W: >/dev/null
log_take
qb W: -na
expect_rc 0
expect_output <<'EOF'
ejecting VeraCrypt volume W:\ "PRIVATE"...
 OK
success
EOF
log_take
expect_log U:0:0
qb W: -na
expect_rc 5
expect_line "W: is not a Volume"

fresh_world
simctl relink U: W: >/dev/null
log_take
qb private.hc -na
expect_rc 0
expect_output <<'EOF'
ejecting VeraCrypt volume W:\ "PRIVATE"...
 OK
success
EOF
log_take
expect_log U:0:0
