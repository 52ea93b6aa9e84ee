#!/usr/bin/env bash
# Builds the whole test suite with AddressSanitizer and UndefinedBehaviorSanitizer (any finding
# aborts the test) and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
export BUILD_DIR=${BUILD_DIR:-build-asan}
scripts/build.sh -DINSPECTORS_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/scripts/lsan.supp:print_suppressions=0}
ctest --test-dir "$BUILD_DIR" --output-on-failure -j"$(nproc)"
