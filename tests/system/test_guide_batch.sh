# The user guide's batch example (docs/examples/backup-volume.cmd), run by cmd
# in the world from a folder with Quenbrax.exe: each outcome of the eject takes
# the branch that the file's comments name, and the backup is made only when
# the volume is not mounted. The guide shows the file unchanged.
. "$QB_SOURCE/tests/lib.sh"
deadline 180

example=$QB_SOURCE/docs/examples/backup-volume.cmd
# The guide's bat block that begins with "@echo off".
guide_copy=$(awk '/^```bat$/ { inside = 1; first = 1; next } /^```$/ { inside = 0 }
                  inside && first { shown = ($0 == "@echo off"); first = 0 }
                  inside && shown' \
             "$QB_SOURCE/docs/USAGE.md")
expect_eq "$guide_copy" "$(tr -d '\r' <"$example")" "the batch file as the guide shows it"

tools=$QB_TMP/tools
backup=$QB_TMP/backup
mkdir -p "$tools" "$backup"
cp "$example" "$QB_BUILD/bin/Quenbrax.exe" "$tools/"
world_up

# In this order, each changing the world first: a holder keeps U: open
# (Quenbrax gives 3); it has gone (0); U: is ejected already (5); Quenbrax.exe
# is missing (cmd gives 9009). CASE|BATCH EXIT CODE|LINE OF THE BRANCH|BACKUP MADE
cases=(
    "held|1|The volume is in use: close the programs that use it, then try again.|no"
    "free|0|The volume is ejected.|yes"
    "unmounted|0|The volume is not mounted.|yes"
    "no-exe|1|Quenbrax did not run as expected (exit code 9009): no backup.|no"
)
for entry in "${cases[@]}"; do
    IFS='|' read -r name rc line made <<<"$entry"
    case $name in
    held) holder_start --device U: ;;
    free) holder_stop ;;
    no-exe) rm "$tools/Quenbrax.exe" ;;
    esac
    rm -f "$backup/private.hc"
    world_run cmd /c "$(winpath "$tools/backup-volume.cmd")" 'C:\vols\private.hc' \
        "$(winpath "$backup")"
    expect_rc "$rc"
    expect_line "$line"
    [ -f "$backup/private.hc" ] && copied=yes || copied=no
    expect_eq "$copied" "$made" "$name: backup made"
done

# A container named with letters the ANSI code page (1252) lacks is found by
# that name: the volume is ejected before its copy is taken.
LANG=de_DE.UTF-8
cp "$QB_BUILD/bin/Quenbrax.exe" "$tools/"
echo data >"$WINEPREFIX/drive_c/vols/łąka.hc"
simctl mount veracrypt W: '\??\C:\vols\łąka.hc'
requests >/dev/null
rm -f "$backup/łąka.hc"
world_run cmd /c "$(winpath "$tools/backup-volume.cmd")" 'C:\vols\łąka.hc' "$(winpath "$backup")"
expect_rc 0
expect_line "The volume is ejected."
expect_eq "$(requests | awk '{ print $2 }')" "W:0:0" "requests before the copy"
check "no backup of łąka.hc" test -f "$backup/łąka.hc"
