#!/usr/bin/env bash
# Several files at once: one run with --jobs 1, one with --jobs N (default 2),
# and the README's xargs -P N recipe of single runs, over a collection of many
# small files and some large ones (the tiny and main corpora of make_corpus.sh),
# warm cache; the files named in a list (--files-from), and the same two
# directories walked with -r. Prints the CPU model, the load before and after,
# and the table (with the CPU time per file, which another program's load on
# the machine changes far less than the elapsed time), and writes it to
# bench/jobs_results.md.
#
#   bash bench/jobs.sh
#
# Environment:
#   BENCH_DIR       corpora (default /tmp/framelint-bench; made by make_corpus.sh if missing)
#   FRAMELINT       use this binary instead of building one in build-bench/
#   BENCH_JOBS      N (default 2)
#   BENCH_RUNS      hyperfine runs of each command per round (default 10)
#   BENCH_ROUNDS    rounds (default 3): hyperfine runs its commands one after
#                   another, so each round samples every command at another
#                   moment of the machine's load; medians are over all rounds
#   BENCH_COLD=1    also time the cat rows and the default check from a cold
#                   page cache, one round of BENCH_COLD_RUNS (default 3) runs (drops the caches before
#                   every run: needs root and a writable /proc/sys/vm/drop_caches;
#                   it slows everything else on the machine while it runs)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
BENCH_DIR=${BENCH_DIR:-/tmp/framelint-bench}
JOBS=${BENCH_JOBS:-2}
RUNS=${BENCH_RUNS:-10}
ROUNDS=${BENCH_ROUNDS:-3}
export BENCH_DIR

say() { printf '== %s\n' "$*" >&2; }
die() { printf 'jobs.sh: %s\n' "$*" >&2; exit 1; }
command -v hyperfine >/dev/null || die "needs hyperfine (apt-get install hyperfine)"

if [[ -n ${FRAMELINT:-} ]]; then
    FL=$(cd "$(dirname "$FRAMELINT")" && pwd)/$(basename "$FRAMELINT")
else
    build=$repo/build-bench
    if [[ ! -f $build/CMakeCache.txt ]]; then
        cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DFRAMELINT_TESTS=OFF >/dev/null
    fi
    cmake --build "$build" --target framelint -j "$(nproc)" >/dev/null
    FL=$build/framelint
fi
[[ -x $FL ]] || die "no framelint binary at $FL"
rev=$(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo unknown)

bash "$here/make_corpus.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The collection: the 2,000 tiny files and the main corpus's large ones, in
# the order find gives them.
LIST=$work/files.list
find "$BENCH_DIR/tiny" "$BENCH_DIR/big" -type f -name '*.mp3' -print0 > "$LIST"
count=$(tr -cd '\0' < "$LIST" | wc -c)
bytes=$(xargs -0 du -cb < "$LIST" | awk '$2 == "total" { t += $1 } END { print t }')
mib=$(awk -v b="$bytes" 'BEGIN { printf "%.0f", b / 1048576 }')

say "warming the page cache ($count files, $mib MiB)"
for _ in 1 2; do xargs -0 cat < "$LIST" > /dev/null; done

DIRS="$BENCH_DIR/tiny $BENCH_DIR/big"
# Same output, before any timing: --jobs N against --jobs 1 (less the CPU times).
for mode in "" "-c -p" "-r"; do
    names="--files-from $LIST --null"
    [[ $mode == -r ]] && names=$DIRS
    # shellcheck disable=SC2086
    "$FL" $mode $names > "$work/one.out" 2> "$work/one.err" && s1=0 || s1=$?
    # shellcheck disable=SC2086
    "$FL" $mode --jobs "$JOBS" $names > "$work/n.out" 2> "$work/n.err" && sn=0 || sn=$?
    grep -v '^USER_TIME\|^SYS_TIME' "$work/one.out" > "$work/one.cut"
    grep -v '^USER_TIME\|^SYS_TIME' "$work/n.out" > "$work/n.cut"
    cmp -s "$work/one.cut" "$work/n.cut" && cmp -s "$work/one.err" "$work/n.err" && [[ $s1 == "$sn" ]] ||
        die "--jobs $JOBS ${mode:-(default)} differs from --jobs 1"
done
say "--jobs $JOBS gives --jobs 1's output (default check, -c -p, and -r over the directories)"

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
cpu_model=$(grep -m1 '^model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')
cores=$(nproc)

# The machine's own ceiling at that moment: the same files read by one cat, and
# by N cats at once (every Nth file each). On a shared machine another
# program's work takes the cores that N jobs would use.
for ((i = 0; i < JOBS; i++)); do
    python3 -c 'import sys; names = open(sys.argv[1], "rb").read().split(b"\0")[:-1]
sys.stdout.buffer.write(b"".join(n + b"\0" for n in names[int(sys.argv[2])::int(sys.argv[3])]))' \
        "$LIST" "$i" "$JOBS" > "$work/part$i.list"
done
split_cat=""
for ((i = 0; i < JOBS; i++)); do split_cat+="xargs -0 cat < $work/part$i.list > /dev/null & "; done
split_cat+="wait"

# name|command, for each mode
commands=("cat|one cat|xargs -0 cat < $LIST > /dev/null" "cat|$JOBS cats at once|$split_cat")
for mode in "" "-c"; do
    label=${mode:-default}
    commands+=("$label|--jobs 1|$FL $mode --files-from $LIST --null > /dev/null")
    commands+=("$label|--jobs $JOBS|$FL $mode --jobs $JOBS --files-from $LIST --null > /dev/null")
    commands+=("$label|xargs -P$JOBS|xargs -0 -n 32 -P $JOBS sh -c '\"\$0\" $mode \"\$@\" || test \$? -eq 255' $FL < $LIST > /dev/null")
done
commands+=("-r|--jobs 1|$FL -r $DIRS > /dev/null")
commands+=("-r|--jobs $JOBS|$FL -r --jobs $JOBS $DIRS > /dev/null")

run_rounds() {  # $1: suffix for the json files; $2: prepare command or ""
    local round c args=()
    for c in "${commands[@]}"; do
        args+=("--command-name=${c%%|*}|$(cut -d'|' -f2 <<< "$c")" "${c#*|*|}")
    done
    for ((round = 1; round <= ROUNDS; round++)); do
        say "round $round of $ROUNDS$1"
        if [[ -n $2 ]]; then
            # Cold: the cat rows and the default check only, each run after a drop of the caches.
            local cold_args=() k
            for ((k = 0; k < ${#args[@]}; k += 2)); do
                [[ ${args[k]} == --command-name=-c\|* || ${args[k]} == --command-name=-r\|* ]] || cold_args+=("${args[k]}" "${args[k + 1]}")
            done
            args=("${cold_args[@]}")
            hyperfine -i --runs "$RUNS" --prepare "$2" --export-json "$work/round$round$1.json" "${args[@]}" > /dev/null
        else
            hyperfine -i --warmup 1 --runs "$RUNS" --export-json "$work/round$round$1.json" "${args[@]}" > /dev/null
        fi
    done
}
run_rounds "" ""
warm_runs=$RUNS
warm_rounds=$ROUNDS
cold_note="not measured: BENCH_COLD=1 was not given"
if [[ ${BENCH_COLD:-} == 1 ]]; then
    if sync && { echo 3 > /proc/sys/vm/drop_caches; } 2>/dev/null; then
        RUNS=${BENCH_COLD_RUNS:-3}
        ROUNDS=1
        run_rounds "-cold" "sync; echo 3 > /proc/sys/vm/drop_caches"
        cold_note="measured"
    else
        cold_note="not measured: cannot write /proc/sys/vm/drop_caches here"
    fi
fi
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

python3 - "$work" "$JOBS" "$count" > "$work/table.md" <<'EOF'
import glob, json, statistics, sys
work, jobs, files = sys.argv[1], sys.argv[2], int(sys.argv[3])
def table(suffix):
    runs = {}
    for path in sorted(glob.glob(f"{work}/round*{suffix}.json")):
        if suffix == "" and "-cold" in path:
            continue
        for r in json.load(open(path))["results"]:
            t = runs.setdefault(r["command"], {"times": [], "user": [], "system": []})
            t["times"] += r["times"]
            t["user"] += r.get("user_times") or [r["user"]]
            t["system"] += r.get("system_times") or [r["system"]]
    if not runs:
        return ""
    out = ["| check | how | median s | user s | sys s | CPU µs per file | throughput vs one job (one cat) |",
           "|---|---|---:|---:|---:|---:|---:|"]
    base = {}
    for name, t in runs.items():
        mode, how = name.split("|")
        med = statistics.median(t["times"])
        if how in ("--jobs 1", "one cat"):
            base[mode] = med
    for name, t in runs.items():
        mode, how = name.split("|")
        med = statistics.median(t["times"])
        cpu = statistics.median(u + s for u, s in zip(t["user"], t["system"]))
        out.append(f"| {mode} | `{how}` | {med:.4f} | {statistics.median(t['user']):.4f} | "
                   f"{statistics.median(t['system']):.4f} | {cpu / files * 1e6:.1f} | {base[mode] / med:.2f}x |")
    return "\n".join(out)
print(table(""))
cold = table("-cold")
if cold:
    print("\nCold page cache (caches dropped before every run; one round):\n")
    print(cold)
EOF

{
    echo "# --jobs: several files at once"
    echo
    echo "\`bash bench/jobs.sh\`, $(date -u '+%Y-%m-%d %H:%M UTC'), framelint $rev."
    echo "CPU: $cpu_model, $cores cores. Load average (1, 5, 15 min) before: $load_before; after: $load_after."
    echo "Collection: $count files, $mib MiB (the tiny corpus's 2-20 KB files and the main"
    echo "corpus's 3-10 MiB ones), warm page cache; medians of $warm_rounds rounds of $warm_runs runs."
    echo "\`xargs -P$JOBS\` is the README's recipe: \`xargs -0 -n 32 -P $JOBS sh -c 'framelint \"\$@\" || test \$? -eq 255'\`."
    echo "Throughput is files (or bytes) per second against \`--jobs 1\` (for the cat rows, against one cat),"
    echo "that is the ratio of the medians. The cat rows are the machine's own ceiling at that moment: the"
    echo "same files read by one \`cat\`, and by $JOBS at once, each taking one file in $JOBS."
    echo "The default and -c rows name the files in a list (\`--files-from LIST --null\`); the -r rows walk"
    echo "the two directories (\`-r tiny big\`). CPU per file is the median of user + sys over the $count files."
    echo "Cold cache: $cold_note."
    echo
    cat "$work/table.md"
} | tee "$here/jobs_results.md"
