#!/usr/bin/env bash
# Builds the benchmarks in Release (into build-bench/, or the directory in BENCH_BUILD_DIR) and
# runs them: decoder throughput, the whole open of log_reader against the bare-table floor, and
# peak memory. Arguments are passed to both Google Benchmark programs, e.g.
#   scripts/bench.sh --benchmark_filter=parseTypical
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
if ! dpkg-query -W -f='${Status}' libbenchmark-dev 2>/dev/null | grep -q "install ok installed"; then
    sudo=()
    if [ "$(id -u)" -ne 0 ]; then sudo=(sudo); fi
    "${sudo[@]}" apt-get update
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y libbenchmark-dev
fi

build=${BENCH_BUILD_DIR:-build-bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DINSPECTORS_BENCH=ON
cmake --build "$build" -j"$(nproc)" --target bench_decoders bench_open

export QT_QPA_PLATFORM=offscreen
echo "== $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) CPUs, $(lscpu | sed -n 's/^Model name: *//p')"
echo "== load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "== Decoders, TZ unset (every local-time conversion checks /etc/localtime again)"
env -u TZ "$build/bench/bench_decoders" --benchmark_filter=parseTypical "$@"
echo "== Decoders, TZ=${TZ-:/etc/localtime} (as log_reader runs)"
TZ=${TZ-:/etc/localtime} "$build/bench/bench_decoders" "$@"
echo "== Whole open of log_reader against the bare table"
"$build/bench/bench_open" "$@" 2>&1 | grep -v 'propagateSizeHints\|XDG_RUNTIME_DIR'
echo "== Peak memory"
"$build/bench/bench_open" --memory 1000000 2>&1 | grep -v 'propagateSizeHints\|XDG_RUNTIME_DIR'
echo "== The goals side by side: parse rate, open against the bare table, peak memory"
"$build/bench/bench_open" --goals 1000000 3 2>&1 | grep -v 'propagateSizeHints\|XDG_RUNTIME_DIR'
