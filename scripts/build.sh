#!/usr/bin/env bash
# Configures and builds into build/ (or the directory in BUILD_DIR): everything, or only the
# targets named in BUILD_TARGETS (separated by spaces). Arguments go to the configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
targets=()
for target in ${BUILD_TARGETS:-}; do targets+=(--target "$target"); done
cmake -S . -B "$build" "$@"
cmake --build "$build" -j"$(nproc)" "${targets[@]}"
