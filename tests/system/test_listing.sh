# Without arguments the program prints its banner, the usage and the mounted
# volumes of both products; the VeraCrypt mount list is asked for in the layout
# that the driver file's version calls for.
. "$QB_SOURCE/tests/system/lib.sh"
deadline 240
usage_end="'force' can be set afterwards while being in the try loop by pressing the F key."

# Expects exactly the given lines (stdin) after the usage text.
expect_listing() {
    local got
    got=$(tr -d '\r' <"$QB_OUT" | sed -n "/^$usage_end\$/,\$p" | tail -n +2)
    expect_eq "$got" "$(cat)" "listing after the usage"
}

dos_link() {
    world_exec "$(winpath "$QB_BUILD/bin/dos_link.exe")" "$@" </dev/null ||
        fail "dos_link $* failed"
}

# Both products with volumes; a file container without its \??\, a partition
# as stored; TrueCrypt first.
world_up
qb
expect_rc 5
expect_text "Tarnwick V1.0.0 (x64) - 'ejects' a TrueCrypt volume"
expect_listing <<'LIST'

TrueCrypt Volumes:
T:    C:\vols\legacy.tc
VeraCrypt Volumes:
U:    C:\vols\private.hc
V:    \Device\Harddisk1\Partition2
LIST

# A link moved from U: to W: is listed under W: with the original letter; a
# volume whose link is gone is not listed; a driver with nothing mounted has
# no heading.
simctl relink U: W:
simctl vanish T:
qb
expect_listing <<'LIST'

VeraCrypt Volumes:
W:    C:\vols\private.hc   (original Letter was U:)
V:    \Device\Harddisk1\Partition2
LIST
dos_link remove V:
qb
expect_listing <<'LIST'

VeraCrypt Volumes:
W:    C:\vols\private.hc   (original Letter was U:)
LIST

# The first request size follows the driver file's version: 17424 bytes for
# 1.26. The debug line of each request shows it and the count returned; a text
# that matches no container reads both lists and ejects nothing.
world_up
qb nosuch.hc -na -db
expect_rc 5
expect_line 'mount list: \\.\TrueCrypt asked with 13944 bytes, error 0, 13940 returned'
expect_line 'mount list: \\.\VeraCrypt asked with 17424 bytes, error 0, 17424 returned'
expect_line "TrueCrypt volume not identified"

# Without system32\drivers\veracrypt.sys (a portable installation) the first
# request has 15760 bytes, which the 1.26 driver refuses (122); asked again
# with 17424 it lists its volumes, and a container path finds its volume.
world_up --veracrypt-file none
qb private.hc -na -db
expect_rc 0
expect_line 'mount list: \\.\VeraCrypt asked with 15760 bytes, error 122, 0 returned'
expect_line 'mount list: \\.\VeraCrypt asked with 17424 bytes, error 0, 17424 returned'
expect_line 'ejecting VeraCrypt volume U:\ "PRIVATE"...'
expect_line "success"
qb
expect_listing <<'LIST'

TrueCrypt Volumes:
T:    C:\vols\legacy.tc
VeraCrypt Volumes:
V:    \Device\Harddisk1\Partition2
LIST

# A 1.17 driver is asked with 15760 bytes and lists the same volumes; beside a
# 1.26 driver file it is asked with 17424 bytes, fills its own 15760-byte
# layout and says so, and is read in that layout.
for file in 1.17 1.26; do
    world_up --veracrypt-version 1.17 --veracrypt-file $file
    asked=$([ $file = 1.17 ] && echo 15760 || echo 17424)
    qb nosuch.hc -na -db
    expect_line 'mount list: \\.\VeraCrypt asked with '$asked' bytes, error 0, 15760 returned'
    qb
    expect_listing <<'LIST'

TrueCrypt Volumes:
T:    C:\vols\legacy.tc
VeraCrypt Volumes:
U:    C:\vols\private.hc
V:    \Device\Harddisk1\Partition2
LIST
done
# Later tests expect the usual world.
world_up
