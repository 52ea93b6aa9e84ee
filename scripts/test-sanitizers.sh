#!/usr/bin/env bash
# Builds the test suite and the fuzz targets once, with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer (any finding aborts the test), and runs the tests and a short run of
# each fuzz target (FUZZ_SECONDS each, default 20). The package checks are ./scripts/test.sh's,
# and so are the window tests at 150 % (the same code at another scale), the local times in each
# zone (the same arithmetic with other offsets) and the key grid's sample (whose damaged saves the
# fuzz target makes too).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh test fuzz
export BUILD_DIR=${BUILD_DIR:-build-sanitize} CXX=clang++
# Line tables only and light optimisation: reports name their lines, and the build is quicker.
scripts/build.sh -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DINSPECTORS_SANITIZE=ON -DINSPECTORS_FUZZ=ON -DFUZZ_SECONDS="${FUZZ_SECONDS:-20}"
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/scripts/lsan.supp:print_suppressions=0}
ctest --test-dir "$BUILD_DIR" --output-on-failure -j"$(nproc)" \
    -E '^(packaging_|clang_format$|key_grid_sample$|tst_localtime_)|_150$'
