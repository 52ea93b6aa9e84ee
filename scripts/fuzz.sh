#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS seconds (default 600), both at
# once. New inputs are kept in build-fuzz/fuzz/corpus; crashes land in build-fuzz/findings.
# usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
scripts/setup.sh
command -v clang++ >/dev/null || { sudo=(); [ "$(id -u)" -eq 0 ] || sudo=(sudo); "${sudo[@]}" apt-get install -y clang libclang-rt-14-dev; }
build=build-fuzz
CXX=clang++ cmake -S . -B "$build" -DINSPECTORS_FUZZ=ON -DINSPECTORS_BUILD_TESTS=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"
corpus="$build/fuzz/corpus"
python3 scripts/make_fuzz_corpus.py "$corpus" --tox-saves "$build/packaging/make_sample_save"
mkdir -p "$build/findings"
export TZ=UTC
pids=()
for target in savefile messagelog; do
    "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
        -print_final_stats=1 -artifact_prefix="$build/findings/$target-" "$corpus/$target" \
        >"$build/findings/$target.log" 2>&1 &
    pids+=($!)
done
status=0
for pid in "${pids[@]}"; do wait "$pid" || status=1; done
for target in savefile messagelog; do
    echo "== fuzz_$target"
    grep -E '^#[0-9]+.*(DONE|pulse)|stat::|ERROR|invariant' "$build/findings/$target.log" | tail -n 12
done
exit $status
