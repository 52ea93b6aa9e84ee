#!/usr/bin/env bash
# Configures and builds into build/ (or the directory in BUILD_DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
cmake -S . -B "$build" "$@"
cmake --build "$build" -j"$(nproc)"
