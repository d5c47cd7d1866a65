# tools/package gives the same bytes for the same sources whatever the folder
# and the time: a copy of this source tree (another folder, files dated now)
# builds its release exe and packages it, and a second copy packages the
# suite's own build (made earlier, in another folder); the two zips are
# identical. The package holds its four files, its sums verify, its texts have
# CR LF line ends, and its Quenbrax.exe runs in the world and shows the version
# that the zip's name carries.
. "$QB_SOURCE/tests/lib.sh"
deadline 580

[ -e "$QB_SOURCE/.git" ] || die "needs a git checkout of the source"
# The copies have no .git: they take the commit's time from here.
SOURCE_DATE_EPOCH=$(git -C "$QB_SOURCE" log -1 --format=%ct)
export SOURCE_DATE_EPOCH

# package DIR [BUILD]: copies the source tree as it is now (tracked and new
# files) into DIR, with the files dated now, and runs its tools/package (in
# BUILD when given). Sets ZIP.
package() {
    mkdir -p "$1"
    (cd "$QB_SOURCE" && git ls-files -z -co --exclude-standard |
        tar --null -T - --ignore-failed-read -cf -) | tar -xmf - -C "$1"
    QB_PACKAGE_BUILD=${2:-} "$1/tools/package" >"$1.log" 2>&1 ||
        die "tools/package in $1 failed: $(tail -n 20 "$1.log")"
    ZIP=$(echo "$1"/dist/Quenbrax-*-x64.zip)
    [ -f "$ZIP" ] || die "no zip in $1/dist: $(ls "$1/dist")"
    unzip -q -d "$1/unpacked" "$ZIP"
}

one=$QB_TMP/one/Quenbrax
package "$one"
zip=$ZIP
package "$QB_TMP/second/folder/quenbrax-source" "$QB_BUILD"
for file in "$zip" "$ZIP"; do
    echo "measured: $(wc -c <"$file") bytes, sha256 $(sha256sum <"$file" | cut -c1-64): $file"
done
cmp "$one/unpacked/Quenbrax.exe" "$QB_BUILD/bin/Quenbrax.exe" || fail "the exes differ"
cmp "$zip" "$ZIP" || fail "the zips differ"
# The same bytes for another user too: no owner (and no extra times) stored.
! zipinfo -v "$zip" | grep -q 'length of extra field: *[1-9]' || fail "the zip has extra fields"

unpacked=$one/unpacked
expect_eq "$(unzip -Z1 "$zip" | tr '\n' ' ')" "Quenbrax.exe USAGE.txt LICENSE.txt SHA256SUMS.txt " \
    "files in the zip, in order"
(cd "$unpacked" && sha256sum --quiet -c SHA256SUMS.txt) || fail "SHA256SUMS.txt does not verify"
for pair in "USAGE.txt docs/USAGE.md" "LICENSE.txt LICENSE"; do
    set -- $pair
    expect_eq "$(grep -c $'\r$' "$unpacked/$1")" "$(grep -c '' "$unpacked/$1")" "$1: lines in CR LF"
    cmp -s <(tr -d '\r' <"$unpacked/$1") "$QB_SOURCE/$2" || fail "$1 is not $2"
done

world_up
world_run "$(winpath "$unpacked/Quenbrax.exe")" U:
expect_rc 0
expect_line success
version=$(basename "$zip" | sed 's/^Quenbrax-\(.*\)-x64\.zip$/\1/')
expect_line "Tarnwick V$version (x64) - 'ejects' a TrueCrypt volume"
