#!/usr/bin/env bash
# Checks that the committed samples come from the generators: the message log is the same byte
# for byte as a fresh one, and the save generator writes a plain (unencrypted) save.
# usage: check_samples.sh PYTHON REPOSITORY SAVE_GENERATOR SCRATCH_DIR
. "$(dirname "$0")/lib.sh"
need od
python=$1 repository=$2 generator=$3 scratch=$4

rm -rf "$scratch"
mkdir -p "$scratch"
"$python" "$repository/scripts/make_samples.py" "$scratch" --save-generator "$generator"
cmp "$repository/samples/chat.log" "$scratch/chat.log" ||
    fail "samples/chat.log differs from what scripts/make_samples.py writes"
echo "ok: samples/chat.log is what the generator writes"

# The generator's save is a plain save; the committed one is pinned by its golden report.
head=$(od -An -tx1 -N8 "$scratch/alice.tox" | tr -d ' \n')
[ "$head" = 000000001f1bed15 ] || fail "the generator wrote no plain save: $head"
echo "ok: the save generator writes a plain save"
