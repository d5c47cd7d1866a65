#!/bin/bash
# Hostile drivers: for each way a driver can spoil its mount-list reply
# (simctl malform: empty paths under set bits, a reply shorter than the
# layout) and for each driver, the listing, a container lookup and an eject by
# drive letter stay sound: documented exit codes, and the other driver's reply
# still serves. (Paths with no terminator are read inside their entry: unit
# tests of the mount list. Bits above Z need no case: every reader stops at Z.)
set -u
. "$QB_SOURCE/tests/lib.sh"
deadline 150
world_up

# The listing after the usage (the "... Volumes:" headings to the end).
listing() { tr -d '\r' <"$QB_OUT" | sed -n '/^[A-Za-z]* Volumes:$/,$p' | sed '/^$/d'; }

# pending PRODUCT: the malform order still waiting in that driver, or "".
pending() {
    simctl status | tr -d '\r' | sed -n "s/^$1: next mount list malformed: //p"
}

declare -A name=([truecrypt]=TrueCrypt [veracrypt]=VeraCrypt)
declare -A normal=([truecrypt]='T:    C:\vols\legacy.tc' [veracrypt]='U:    C:\vols\private.hc
V:    \Device\Harddisk1\Partition2')
# What each malformed reply lists. With every bit set, a letter counts when
# its device carries that letter, whichever product's device it is.
every='T:    
U:    
V:    '
declare -A spoilt=(
    [truecrypt.empty-paths]=$every [veracrypt.empty-paths]=$every
    [truecrypt.short]='T:    C:\vol' [veracrypt.short]='U:    C:\vols
V:    '
)
# The container text of the driver's first volume, which the spoilt reply no
# longer names.
declare -A container=([truecrypt]=legacy.tc [veracrypt]=private.hc)

for product in truecrypt veracrypt; do
    for mode in empty-paths short; do
        case_name="$product $mode"
        world_up
        simctl malform $product $mode
        qb
        expect_rc 5
        want=
        for each in truecrypt veracrypt; do
            body=${normal[$each]}
            [ $each = $product ] && body=${spoilt[$product.$mode]}
            want+="${name[$each]} Volumes:"$'\n'"$body"$'\n'
        done
        expect_eq "$(listing)" "${want%$'\n'}" "$case_name: listing"
        expect_eq "$(pending ${name[$product]})" "" "$case_name: order left after the listing"

        simctl malform $product $mode
        qb "${container[$product]}" -na
        expect_rc 5
        expect_line "TrueCrypt volume not identified"
        expect_eq "$(pending ${name[$product]})" "" "$case_name: order left after the lookup"

        # An eject by letter asks no driver for its list.
        simctl malform $product $mode
        qb V: -na
        expect_rc 0
        expect_line success
        expect_eq "$(pending ${name[$product]})" "$mode" "$case_name: order after the eject"
        simctl malform $product off
    done
done

# A spoilt TrueCrypt reply does not keep the lookup from the VeraCrypt list.
case_name="truecrypt empty-paths, VeraCrypt volume"
world_up
simctl malform truecrypt empty-paths
qb private.hc -na
expect_rc 0
expect_text 'ejecting VeraCrypt volume U:\'
expect_eq "$(pending TrueCrypt)" "" "$case_name: order left"
