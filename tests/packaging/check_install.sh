#!/usr/bin/env bash
# Installs the build tree into a scratch prefix with `cmake --install` and checks that exactly
# the expected files land there, under the GNU directory names (check_deb.sh starts the programs
# from the same files, packaged). usage: check_install.sh CMAKE BUILD_DIR SCRATCH_DIR EXPECTED_FILES
. "$(dirname "$0")/lib.sh"
cmake=$1 build=$2 scratch=$3 expected=$4

rm -rf "$scratch"
mkdir -p "$scratch"
prefix="$scratch/usr"
"$cmake" --install "$build" --prefix "$prefix" >"$scratch/install.log" ||
    { cat "$scratch/install.log" >&2; fail "cmake --install failed"; }
(cd "$scratch" && find usr -type f | LC_ALL=C sort) >"$scratch/files.txt"
diff -u <(LC_ALL=C sort "$expected") "$scratch/files.txt" || fail "the installed files differ from the expected list"
echo "ok: cmake --install put exactly the expected files under the prefix"
