#!/usr/bin/env bash
# Two builds side by side in instructions (callgrind), for a change that must
# not cost more than a few per cent: the default check and -c on the long file,
# on the big files and on the tiny files of the benchmark corpus
# (bench/make_corpus.sh), one process per file, as a script over a collection
# or beets' check plugin would run it.
#
#   bash bench/instructions.sh REFERENCE_BINARY NEW_BINARY
#
# Environment (all optional):
#   BENCH_DIR     the corpus (default /tmp/framelint-bench)
#   BENCH_TINY    how many of the tiny files to run (default 40)
#
# Prints a Markdown table: instructions per set and mode for each build, and
# the new build's change. A process started per file pays the dynamic
# loader's work on each; the tiny set shows that cost.
set -euo pipefail
export LC_ALL=C
[ $# -eq 2 ] || { sed -n '2,15p' "$0" >&2; exit 2; }
ref=$(realpath "$1") new=$(realpath "$2")
BENCH_DIR=${BENCH_DIR:-/tmp/framelint-bench}
BENCH_TINY=${BENCH_TINY:-40}
command -v valgrind >/dev/null || { echo "instructions.sh: needs valgrind" >&2; exit 2; }
[ -d "$BENCH_DIR/big" ] || { echo "instructions.sh: no corpus in $BENCH_DIR (bash bench/make_corpus.sh)" >&2; exit 2; }

instructions() {  # BINARY SWITCHES FILE...: the sum over one process per file
    local bin=$1 switches=$2 total=0 n
    shift 2
    for f in "$@"; do
        n=$(valgrind --tool=callgrind --callgrind-out-file=/dev/null "$bin" $switches "$f" 2>&1 >/dev/null |
            sed -n 's/.*Collected : \([0-9]*\).*/\1/p')
        total=$((total + n))
    done
    echo "$total"
}

mapfile -t long < <(ls -d "$BENCH_DIR"/long/*.mp3)
mapfile -t big < <(ls -d "$BENCH_DIR"/big/*)
mapfile -t tiny < <(ls -d "$BENCH_DIR"/tiny/*.mp3 | head -n "$BENCH_TINY")

echo "- CPU: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), $(nproc) cores"
echo "- reference: $ref"
echo "- new: $new"
echo
echo "| set | switches | reference | new | change |"
echo "|---|---|---|---|---|"
for set in long big tiny; do
    declare -n files=$set
    for switches in "" "-c"; do
        a=$(instructions "$ref" "$switches" "${files[@]}")
        b=$(instructions "$new" "$switches" "${files[@]}")
        change=$(awk -v a="$a" -v b="$b" 'BEGIN { printf "%+.2f %%", (b - a) * 100 / a }')
        printf '| %s (%d files) | %s | %s | %s | %s |\n' "$set" "${#files[@]}" "${switches:-none}" "$a" "$b" "$change"
    done
done
