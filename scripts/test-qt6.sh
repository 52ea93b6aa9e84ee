#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite on Qt 6, into build-qt6/ (or the directory in
# BUILD_DIR). The Debian package is Qt 5's, so its test is not part of this build.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh test qt6
export BUILD_DIR=${BUILD_DIR:-build-qt6}
scripts/build.sh -DINSPECTORS_QT=6
ctest --test-dir "$BUILD_DIR" --output-on-failure -j"$(nproc)"
