#!/usr/bin/env bash
# Installs the Debian packages this project needs: the one list of them. Groups:
#   build  to configure the project and build and run both programs
#   test   build, plus the tools of the whole test suite (the default)
#   fuzz   clang and its libFuzzer runtime, for the fuzz targets
#   bench  Google Benchmark, for the benchmarks
#   qt6    Qt 6, for the build with -DINSPECTORS_QT=6 (with build or test for the rest)
# usage: scripts/setup.sh [GROUP...]
set -euo pipefail
build=(cmake g++ make pkg-config python3 qtbase5-dev libtoxcore-dev clang-format
    fonts-noto-color-emoji fonts-wqy-microhei)
test=("${build[@]}" acl desktop-file-utils libxml2-utils dpkg-dev file shared-mime-info lintian
    appstream tzdata)
packages=()
[ $# -gt 0 ] || set -- test
for group in "$@"; do
    case "$group" in
    build) packages+=("${build[@]}") ;;
    test) packages+=("${test[@]}") ;;
    fuzz) packages+=(clang libclang-rt-14-dev) ;;
    bench) packages+=(libbenchmark-dev) ;;
    qt6) packages+=(qt6-base-dev qt6-base-dev-tools libgl-dev) ;;
    *) echo "unknown package group: $group (build, test, fuzz, bench or qt6)" >&2; exit 2 ;;
    esac
done
sudo=()
if [ "$(id -u)" -ne 0 ]; then sudo=(sudo); fi
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    "${sudo[@]}" apt-get update
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y "${missing[@]}"
fi
