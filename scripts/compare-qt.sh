#!/usr/bin/env bash
# Runs the tox-inspect of two builds (by default build/, Qt 5, and build-qt6/, Qt 6) over every
# file in tests/data and samples/ (also under names beyond ASCII and not UTF-8), as a save and as
# a log, in every format, with --write, and in three time zones, and compares the outputs byte
# for byte: standard output, standard error, the exit status and the written file. Then the same
# for MUTANTS (default 2000) damaged copies of those files and for logs at the edges of time, all
# in one run per kind and format.
# Prints each difference and a closing count.
# usage: scripts/compare-qt.sh [BUILD_A BUILD_B]
set -euo pipefail
cd "$(dirname "$0")/.."
a=$PWD/${1:-build}/inspect/tox-inspect
b=$PWD/${2:-build-qt6}/inspect/tox-inspect
for program in "$a" "$b"; do
    [ -x "$program" ] || { echo "no program at $program: build it first" >&2; exit 2; }
done
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# The inputs are copied to one folder, so that both programs name them by the same path.
inputs=()
for file in tests/data/* samples/*; do
    name=$(basename "$file")
    [ -e "$scratch/in/$name" ] && name="samples-$name"
    mkdir -p "$scratch/in"
    cp "$file" "$scratch/in/$name"
    inputs+=("$scratch/in/$name")
done
cp samples/chat.log "$scratch/in/Zoë-Kowalska.log"
cp samples/alice.tox "$scratch/in/$(printf 'alice\xff.tox')"
inputs+=("$scratch/in/Zoë-Kowalska.log" "$scratch/in/$(printf 'alice\xff.tox')")

# The damaged copies: bytes flipped, cut, doubled, or replaced by bytes that are not UTF-8 or by
# text in other scripts and directions, the same ones on every run; then the logs of edge times.
mkdir -p "$scratch/mutants"
python3 - "$scratch/mutants" "${MUTANTS:-2000}" tests/data/*.tox tests/data/*.log samples/* <<'PYTHON'
import random, struct, sys
out, count, bases = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
rng = random.Random(23)
texts = ["é".encode(), "👋🏽".encode(), "שלום".encode(), "a\u0301\u0301".encode(), b"\xff",
         b"\xc3", b"\xed\xa0\x80", b"\xf0\x9f", b"\x00", b"\r\n", b"\xef\xbb\xbf"]
for i in range(count):
    data = bytearray(open(bases[i % len(bases)], "rb").read())
    for _ in range(rng.randint(1, 6)):
        at = rng.randrange(len(data) + 1)
        kind = rng.randrange(5)
        if kind == 0 and data:
            data[min(at, len(data) - 1)] ^= 1 << rng.randrange(8)
        elif kind == 1:
            data[at:at] = rng.choice(texts)
        elif kind == 2:
            del data[at:at + rng.randint(1, 64)]
        elif kind == 3:
            data[at:at] = data[at:at + rng.randint(1, 200)]
        else:
            data[at:at + 4] = rng.randbytes(4)
    open(f"{out}/m{i:05d}", "wb").write(data)
# Logs of one message at the edges of time: the first and last seconds a log can hold, 2038,
# daylight-saving changes (the hour that repeats, the hour that is skipped), far-future summers.
for i, time in enumerate([0, 86399, 2**31 - 1, 2**31, 2**32 - 1, 1710053999, 1710054000,
                          1730613599, 1730613600, 1730617200, 1711846800, 1729990800,
                          1325239200, 2224756800, 2209032000, 3984093044, 4118126400, 4291747199]):
    open(f"{out}/t{i:02d}", "wb").write(struct.pack("<IIHHHH", time, 0, 8, 2, 0, 0) + b"Bobhi")
PYTHON
mutants=("$scratch"/mutants/*)

# run OUT PROGRAM ARGUMENTS...: the program's output, errors and status in OUT.*
run() {
    local out=$1
    shift
    set +e
    env -u DISPLAY -u WAYLAND_DISPLAY "$@" >"$out.stdout" 2>"$out.stderr"
    echo $? >"$out.status"
    set -e
}

compared=0 differ=0
check() { # LABEL: compares the two runs' files
    local label=$1 part
    for part in stdout stderr status written; do
        [ -e "$scratch/a.$part" ] || [ -e "$scratch/b.$part" ] || continue
        if ! cmp -s "$scratch/a.$part" "$scratch/b.$part"; then
            echo "DIFFER: $label ($part)"
            diff <(cat -A "$scratch/a.$part" 2>/dev/null) <(cat -A "$scratch/b.$part" 2>/dev/null) |
                head -n 6 || true
            differ=$((differ + 1))
            compared=$((compared + 1))
            return
        fi
    done
    compared=$((compared + 1))
}

for zone in UTC America/New_York Australia/Lord_Howe; do
    export TZ=$zone
    for input in "${inputs[@]}"; do
        for kind in save log; do
            for format in text json csv; do
                run "$scratch/a" "$a" "$kind" --format "$format" "$input"
                run "$scratch/b" "$b" "$kind" --format "$format" "$input"
                check "TZ=$zone $kind --format $format $(basename "$input")"
            done
            # --write, each program into its own copy of the folder.
            for side in a b; do
                rm -rf "$scratch/w$side" "$scratch/$side.written"
                mkdir -p "$scratch/w$side"
                cp "$input" "$scratch/w$side/"
                program=$a
                [ $side = a ] || program=$b
                (cd "$scratch/w$side" && run "$scratch/$side" "$program" "$kind" --write "$(basename "$input")")
                sed -i "s|$scratch/w$side|FOLDER|g" "$scratch/$side.stdout" "$scratch/$side.stderr"
                find "$scratch/w$side" -type f ! -name "$(basename "$input")" -exec cat {} + |
                    sed "s|$scratch/w$side|FOLDER|g" >"$scratch/$side.written"
            done
            check "TZ=$zone $kind --write $(basename "$input")"
            rm -f "$scratch"/[ab].written
        done
    done
    for kind in save log; do
        for format in text json csv; do
            run "$scratch/a" "$a" "$kind" --format "$format" "${mutants[@]}"
            run "$scratch/b" "$b" "$kind" --format "$format" "${mutants[@]}"
            check "TZ=$zone $kind --format $format over ${#mutants[@]} damaged files"
        done
    done
    # All inputs at once, and the command-line errors.
    for arguments in "save ${inputs[*]}" "log ${inputs[*]}" "log --format csv ${inputs[*]}" \
        "log --format json ${inputs[*]}" "" "--help" "--version" "frob x" "save" \
        "save --format xml x" "save --write --format json x" "log --format" "save $scratch/none"; do
        # shellcheck disable=SC2086 # the arguments are split on purpose
        run "$scratch/a" "$a" $arguments
        # shellcheck disable=SC2086
        run "$scratch/b" "$b" $arguments
        sed -i "s|$a|tox-inspect|g" "$scratch/a.stdout" "$scratch/a.stderr"
        sed -i "s|$b|tox-inspect|g" "$scratch/b.stdout" "$scratch/b.stderr"
        check "TZ=$zone tox-inspect ${arguments//$scratch\/in\//}"
    done
done
echo "compared: $compared runs over ${#inputs[@]} files and ${#mutants[@]} damaged or edge-time files," \
    "$((compared - differ)) passed, $differ failed"
[ "$differ" -eq 0 ]
