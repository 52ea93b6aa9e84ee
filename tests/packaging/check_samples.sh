#!/usr/bin/env bash
# Checks that the committed samples come from the generators and that regenerating them changes
# no byte: scripts/make_samples.py runs twice, each time into a fresh folder, and both the message
# log and the Tox save of each run must equal the committed ones.
# usage: check_samples.sh PYTHON REPOSITORY SAVE_GENERATOR SCRATCH_DIR
. "$(dirname "$0")/lib.sh"
need cmp
python=$1 repository=$2 generator=$3 scratch=$4

rm -rf "$scratch"
for run in 1 2; do
    mkdir -p "$scratch/$run"
    "$python" "$repository/scripts/make_samples.py" "$scratch/$run" --save-generator "$generator"
    for sample in chat.log alice.tox; do
        cmp "$repository/samples/$sample" "$scratch/$run/$sample" ||
            fail "run $run: samples/$sample differs from what scripts/make_samples.py writes"
    done
done
echo "ok: two runs of scripts/make_samples.py both wrote the committed samples byte for byte"
