# A volume whose drive letter was moved after mounting (U: to W:) is ejected
# through the letter it is reached by, whether named by that letter or by its
# container; the driver is asked for the drive it was mounted with.
. "$QB_SOURCE/tests/system/lib.sh"
. "$QB_SOURCE/tests/system/eject_lib.sh"
deadline 120

# Ejects the volume named by $1 after U: was moved to W:.
eject_moved_volume() {
    fresh_world
    simctl relink U: W: >/dev/null
    log_take
    qb "$1" -na
    expect_rc 0
    expect_output <<'EOF'
ejecting VeraCrypt volume W:\ "PRIVATE"...
 OK
success
EOF
    log_take
    expect_log U:0:0
}

eject_moved_volume W:
qb W: -na
expect_rc 5
expect_line "W: is not a Volume"

eject_moved_volume private.hc
