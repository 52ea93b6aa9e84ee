#!/usr/bin/env bash
# Builds the Debian package from the build tree with CPack (offline), checks its contents and
# control fields, unpacks it into a scratch root and starts both programs from there headless.
# usage: check_deb.sh CPACK BUILD_DIR SCRATCH_DIR EXPECTED_FILES
. "$(dirname "$0")/lib.sh"
need dpkg-deb dpkg-shlibdeps dpkg file ldd
cpack=$1 build=$2 scratch=$3 expected=$4

rm -rf "$scratch"
mkdir -p "$scratch/out"
"$cpack" --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1 ||
    { cat "$scratch/cpack.log" >&2; fail "cpack -G DEB failed"; }
shopt -s nullglob
debs=("$scratch"/out/*.deb)
[ ${#debs[@]} -eq 1 ] || fail "expected one .deb, found ${#debs[@]}"
deb=${debs[0]}
arch=$(dpkg --print-architecture)
[ "$(basename "$deb")" = "tox-inspectors_1.0.0-1_$arch.deb" ] ||
    fail "unexpected package file name $(basename "$deb")"
echo "ok: built $(basename "$deb")"

# Contents: exactly the expected files, the programs executable, nothing owned by the builder.
dpkg-deb -c "$deb" >"$scratch/contents.txt"
awk '$1 ~ /^-/ { sub(/^\.\//, "", $6); print $6 }' "$scratch/contents.txt" | LC_ALL=C sort \
    >"$scratch/files.txt"
diff -u "$expected" "$scratch/files.txt" || fail "the package holds other files than expected"
for program in save_reader log_reader; do
    grep -qE "^-rwxr-xr-x root/root .* \./usr/bin/$program$" "$scratch/contents.txt" ||
        fail "usr/bin/$program is not an executable owned by root"
done
if awk '{ print $2 }' "$scratch/contents.txt" | grep -qv '^root/root$'; then
    fail "the package holds files not owned by root"
fi
echo "ok: dpkg-deb -c lists exactly the expected files"

# Control fields.
dpkg-deb -I "$deb" >"$scratch/info.txt"
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = tox-inspectors ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = 1.0.0-1 ] || fail "Version is '$(field Version)'"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is '$(field Architecture)'"
[ "$(field Section)" = utils ] || fail "Section is '$(field Section)'"
[[ "$(field Maintainer)" =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] ||
    fail "Maintainer '$(field Maintainer)' is not 'Name <address>'"
[[ "$(field Description)" == *"Tox save files"* ]] || fail "Description is missing"
# The dependencies are computed from the programs' libraries, none is written by hand.
depends=$(field Depends)
# Package names of the Depends line, alternatives included, one a line.
names=$(tr ',|' '\n' <<<"$depends" | sed -E 's/^ *//; s/[ (].*//' | sort -u)
for library in libc6 libstdc++6 libqt5core5a libqt5gui5 libqt5widgets5; do
    grep -qxF "$library" <<<"$names" || fail "Depends lacks $library: $depends"
done
echo "ok: dpkg-deb -I: Depends: $depends"

# Unpacked into a scratch root, the programs are stripped, find all their libraries and start.
root="$scratch/root"
dpkg -x "$deb" "$root"
for program in save_reader log_reader; do
    binary="$root/usr/bin/$program"
    file -b "$binary" | grep -q 'ELF.*, stripped' || fail "$program is not a stripped ELF program"
    if ldd "$binary" | grep -q 'not found'; then
        ldd "$binary" >&2
        fail "$program misses a library"
    fi
    start_and_stop "$binary" "$scratch/$program.log"
done
