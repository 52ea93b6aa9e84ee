#!/usr/bin/env bash
# Sets up, builds and starts the programs: both by default, or the one named (save_reader or
# log_reader). Only the programs it starts are built, with the build's progress shown;
# ./scripts/test.sh builds the rest.
set -euo pipefail
cd "$(dirname "$0")/.."
programs=("$@")
[ ${#programs[@]} -gt 0 ] || programs=(save_reader log_reader)
for p in "${programs[@]}"; do
    case "$p" in
    save_reader | log_reader) ;;
    *) echo "unknown program: $p (save_reader or log_reader)" >&2; exit 2 ;;
    esac
done
scripts/setup.sh build
BUILD_TARGETS="${programs[*]}" scripts/build.sh
build=${BUILD_DIR:-build}
# Closing this script (Ctrl+C) closes the programs it started.
trap 'kill $(jobs -p) 2>/dev/null || true' INT TERM
for p in "${programs[@]}"; do
    "$build/$p/$p" &
done
echo "Started ${programs[*]}. Try the samples:"
for p in "${programs[@]}"; do
    case "$p" in
    save_reader) echo "  samples/alice.tox in save_reader (Open Tox File...)" ;;
    log_reader) echo "  samples/chat.log in log_reader (Open ORVA Log...)" ;;
    esac
done
echo "Each output is written beside its input."
wait
