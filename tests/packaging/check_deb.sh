#!/usr/bin/env bash
# Builds the Debian package from the build tree with CPack (offline) and checks it as it ships:
# exactly the expected files, dependencies computed from the programs, and no error or warning
# from lintian, desktop-file-validate, appstreamcli or update-mime-database. Then starts both
# programs headless from the unpacked package.
# usage: check_deb.sh CPACK BUILD_DIR SCRATCH_DIR EXPECTED_FILES
. "$(dirname "$0")/lib.sh"
need dpkg-deb dpkg-shlibdeps dpkg lintian desktop-file-validate appstreamcli update-mime-database \
    xmllint
cpack=$1 build=$2 scratch=$3 expected=$4

rm -rf "$scratch"
mkdir -p "$scratch/out"
"$cpack" --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1 ||
    { cat "$scratch/cpack.log" >&2; fail "cpack -G DEB failed"; }
shopt -s nullglob
debs=("$scratch"/out/*.deb)
[ ${#debs[@]} -eq 1 ] || fail "expected one .deb, found ${#debs[@]}"
deb=${debs[0]}
[ "$(basename "$deb")" = "tox-inspectors_1.0.0-1_$(dpkg --print-architecture).deb" ] ||
    fail "unexpected package file name $(basename "$deb")"
echo "ok: built $(basename "$deb")"

dpkg-deb -c "$deb" | awk '$1 ~ /^-/ { sub(/^\.\//, "", $6); print $6 }' | LC_ALL=C sort \
    >"$scratch/files.txt"
diff -u <(LC_ALL=C sort "$expected") "$scratch/files.txt" ||
    fail "the package holds other files than expected"
echo "ok: dpkg-deb -c lists exactly the expected files"

# The dependencies are computed from the programs' libraries, none is written by hand.
# tox-inspect decrypts saves with the Tox library (libtoxcore2).
depends=$(dpkg-deb -f "$deb" Depends)
names=$(tr ',|' '\n' <<<"$depends" | sed -E 's/^ *//; s/[ (].*//' | sort -u)
for library in libc6 libstdc++6 libqt5core5a libqt5gui5 libqt5widgets5 libtoxcore2; do
    grep -qxF "$library" <<<"$names" || fail "Depends lacks $library: $depends"
done
echo "ok: Depends: $depends"

# Policy, copyright, changelog, manual pages, control fields, ownership, stripping.
lintian --fail-on error,warning "$deb" || fail "lintian reports errors or warnings"
echo "ok: lintian reports no error and no warning"

root="$scratch/root"
share="$root/usr/share"
dpkg -x "$deb" "$root"
# Hints fail too: one of them is an entry listed under more than one main category.
out=$(desktop-file-validate "$share"/applications/*.desktop 2>&1) && [ -z "$out" ] ||
    { echo "$out" >&2; fail "desktop-file-validate has something to say"; }
# The metadata and each launchable desktop entry it names. The component IDs use the reserved
# domain of the maintainer address, a top-level domain the validator does not know.
appstreamcli validate-tree --no-net --strict --override=cid-maybe-not-rdns=pedantic "$root" ||
    fail "appstreamcli found issues in the AppStream metadata"
for entry in "$share"/applications/*.desktop; do
    icon=$(sed -n 's/^Icon=//p' "$entry")
    [ -f "$share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "$entry: icon $icon is not shipped"
done
xmllint --noout "$share"/icons/hicolor/scalable/apps/*.svg
# The MIME compiler steps over mistakes with a warning; with the folder on the data path it has
# nothing else to say.
XDG_DATA_HOME="$share" XDG_DATA_DIRS="$share:/usr/share" \
    update-mime-database "$share/mime" >"$scratch/mime.log" 2>&1 && [ ! -s "$scratch/mime.log" ] ||
    { cat "$scratch/mime.log" >&2; fail "update-mime-database refused or warned"; }
echo "ok: desktop entries, icons, AppStream metadata and MIME type are valid"

for program in save_reader log_reader; do
    start_and_stop "$root/usr/bin/$program" "$scratch/$program.log"
done

# tox-inspect from the package needs neither a display nor the GUI libraries.
inspect="$root/usr/bin/tox-inspect"
if ldd "$inspect" | grep -qE 'not found|libQt5(Gui|Widgets)'; then
    ldd "$inspect" >&2
    fail "tox-inspect misses a library or loads a GUI library"
fi
env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb "$inspect" save \
    "$root/usr/share/doc/tox-inspectors/examples/alice.tox" >"$scratch/alice.txt" ||
    fail "tox-inspect could not report the packaged sample save"
tail -n 2 "$scratch/alice.txt" | grep -qx '=== End of save file ===' ||
    fail "tox-inspect printed no whole report of the packaged sample save"
echo "ok: tox-inspect reported the packaged sample save without a display"
