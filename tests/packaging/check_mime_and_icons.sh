#!/usr/bin/env bash
# Checks the MIME description and the icons: all are well-formed XML, and the MIME description
# compiles into a database that maps *.tox and the save magic to application/x-tox-save.
# usage: check_mime_and_icons.sh PACKAGING_DIR SCRATCH_DIR
. "$(dirname "$0")/lib.sh"
need xmllint update-mime-database
dir=$1 scratch=$2

xmllint --noout "$dir/tox-inspectors.xml" "$dir/icons/save_reader.svg" "$dir/icons/log_reader.svg"
echo "ok: well-formed XML"
for icon in save_reader log_reader; do
    root=$(xmllint --xpath 'local-name(/*)' "$dir/icons/$icon.svg")
    [ "$root" = svg ] || fail "$icon.svg: root element is '$root', not svg"
done
echo "ok: icons are SVG documents"

rm -rf "$scratch"
mkdir -p "$scratch/mime/packages"
cp "$dir/tox-inspectors.xml" "$scratch/mime/packages/"
# With the scratch folder on the data path the compiler has nothing to say unless it finds a
# mistake it can step over; any output fails the check.
XDG_DATA_HOME="$scratch" XDG_DATA_DIRS="$scratch:/usr/share" \
    update-mime-database "$scratch/mime" >"$scratch/update.log" 2>&1 ||
    { cat "$scratch/update.log" >&2; fail "update-mime-database refused tox-inspectors.xml"; }
if [ -s "$scratch/update.log" ]; then
    cat "$scratch/update.log" >&2
    fail "update-mime-database warned about tox-inspectors.xml"
fi
grep -qx 'application/x-tox-save' "$scratch/mime/types" || fail "type missing from the database"
grep -q ':application/x-tox-save:\*\.tox$' "$scratch/mime/globs2" || fail "*.tox glob missing"
grep -q 'Tox save file' "$scratch/mime/application/x-tox-save.xml" || fail "comment missing"
# The plain-save magic: a zero word, then 1F 1B ED 15.
od -An -tx1 -v "$scratch/mime/magic" | tr -d ' \n' | grep -q '000000001f1bed15' ||
    fail "the plain-save magic is missing from the database"
echo "ok: the MIME database maps *.tox and the save magic to application/x-tox-save"
