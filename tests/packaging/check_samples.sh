#!/usr/bin/env bash
# Checks that the committed samples come from the generators: the message log is the same byte
# for byte as a fresh one, and the save generator writes a plain (unencrypted) save with the
# sections of a profile. usage: check_samples.sh PYTHON REPOSITORY SAVE_GENERATOR SCRATCH_DIR
. "$(dirname "$0")/lib.sh"
need od
python=$1 repository=$2 generator=$3 scratch=$4

rm -rf "$scratch"
mkdir -p "$scratch"
"$python" "$repository/scripts/make_samples.py" "$scratch" --save-generator "$generator"
cmp "$repository/samples/chat.log" "$scratch/chat.log" ||
    fail "samples/chat.log differs from what scripts/make_samples.py writes"
echo "ok: samples/chat.log is what the generator writes"

for save in "$repository/samples/alice.tox" "$scratch/alice.tox"; do
    head=$(od -An -tx1 -N8 "$save" | tr -d ' \n')
    [ "$head" = 000000001f1bed15 ] || fail "$save does not start with the plain-save magic: $head"
    size=$(stat -c %s "$save")
    # Two friend records of 2216 bytes each make up most of a profile with two friends.
    if [ "$size" -le 4432 ] || [ "$size" -ge 16384 ]; then
        fail "$save has an unlikely size: $size"
    fi
done
echo "ok: both saves are plain saves of a likely size"
