#!/usr/bin/env bash
# What the audio hash costs -c on one long file, beside what reading every
# byte costs at all, all measured in one run on the same file:
#   - cat FILE >/dev/null             every byte copied out of the page cache
#   - touch_pages [-r] FILE           the floor of a check that looks at every
#                                     frame header (one byte every 400, mapped;
#                                     -r: read into a buffer)
#   - hash_pages [-r] FILE            XXH3-128 of every byte and nothing else,
#                                     mapped or (-r) read the same way
#   - framelint -c FILE               the integrity check (no hash: nobody sees it)
#   - framelint -c --json FILE        the same check with the audio hash
# Wall and CPU time (user + system) are medians of BENCH_RUNS warm runs, taken
# in turns; instructions are counted by callgrind (user space only: the
# kernel's copies for cat and read are not in them). Prints a Markdown table.
#
#   bash bench/hash_cost.sh
#
# Environment (all optional):
#   FRAMELINT      the binary to measure (default: builds build-rel, Release)
#   BENCH_DIR      where the file goes (default /tmp/framelint-record-bench)
#   BENCH_RUNS     timed runs per command (default 15)
#   BENCH_LONG_MB  size of the long file in MiB (default 96)
#
# Needs: sox lame valgrind python3 cc libxxhash-dev
set -euo pipefail
export LC_ALL=C

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
BENCH_DIR=${BENCH_DIR:-/tmp/framelint-record-bench}
BENCH_RUNS=${BENCH_RUNS:-15}
BENCH_LONG_MB=${BENCH_LONG_MB:-96}
say() { printf 'hash cost: %s\n' "$*" >&2; }

if [[ -z ${FRAMELINT:-} ]]; then
    cmake -S "$here/.." -B "$here/../build-rel" -DCMAKE_BUILD_TYPE=Release -DFRAMELINT_TESTS=OFF >/dev/null
    cmake --build "$here/../build-rel" -j2 --target framelint >/dev/null
    FRAMELINT=$here/../build-rel/framelint
fi
[[ $FRAMELINT == /* ]] || FRAMELINT=$PWD/$FRAMELINT

mkdir -p "$BENCH_DIR"
cd "$BENCH_DIR"
cc -O2 -o touch_pages "$here/touch_pages.c"
cc -O2 -o hash_pages "$here/hash_pages.c" -lxxhash

# The long file: one lame -V 2 encode with its Info frame, then copies of the
# same encode without one, to BENCH_LONG_MB MiB (as bench/record.sh made it).
if [[ ! -f long.mp3 || $(stat -c %s long.mp3) -lt $((BENCH_LONG_MB * 1048576)) ]]; then
    say "making the ${BENCH_LONG_MB} MiB file"
    sox -R -n -r 44100 -c 2 long.wav synth 30 pinknoise vol 0.3 2>/dev/null
    lame --quiet -V 2 long.wav clip_long.mp3
    lame --quiet -t -V 2 long.wav clip_long_t.mp3
    python3 -c "
head, body = open('clip_long.mp3','rb').read(), open('clip_long_t.mp3','rb').read()
out = open('long.mp3','wb'); out.write(head); n = len(head)
while n < $BENCH_LONG_MB * 1048576: out.write(body); n += len(body)"
fi
cat long.mp3 long.mp3 >/dev/null  # warm

names=("cat FILE >/dev/null" "touch_pages FILE" "touch_pages -r FILE" "hash_pages FILE" "hash_pages -r FILE"
       "framelint -c FILE" "framelint -c --json FILE")
cmds=("cat long.mp3" "./touch_pages long.mp3" "./touch_pages -r long.mp3" "./hash_pages long.mp3" "./hash_pages -r long.mp3"
      "$FRAMELINT -c long.mp3" "$FRAMELINT -c --json long.mp3")

say "timing (${BENCH_RUNS} runs each, in turns)"
times=$(python3 - "$BENCH_RUNS" "${cmds[@]}" <<'PY'
import os, shlex, subprocess, sys, time
runs, cmds = int(sys.argv[1]), [shlex.split(c) for c in sys.argv[2:]]
def one(c):
    t = time.perf_counter()
    p = subprocess.Popen(c, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, _, ru = os.wait4(p.pid, 0)
    return time.perf_counter() - t, ru.ru_utime + ru.ru_stime
for c in cmds:
    one(c)
walls, cpus = [[] for _ in cmds], [[] for _ in cmds]
for _ in range(runs):
    for i, c in enumerate(cmds):
        w, u = one(c)
        walls[i].append(w); cpus[i].append(u)
med = lambda v: sorted(v)[len(v) // 2]
for i in range(len(cmds)):
    print(f"{med(walls[i]):.4f} {med(cpus[i]):.4f}")
PY
)
say "counting instructions (callgrind)"
count() {
    { valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null || true; } | sed -n 's/.*Collected : //p'
}
instr=()
for c in "${cmds[@]}"; do
    # shellcheck disable=SC2086
    instr+=("$(count $c)")
done

mapfile -t rows <<<"$times"
bytes=$(stat -c %s long.mp3)
echo "- CPU: $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1), $(nproc) cores;" \
    "vector units: $(grep -m1 -o -w -E 'avx512f|avx2' /proc/cpuinfo | sort -u | tr '\n' ' ')"
echo "- file: $bytes bytes; median of $BENCH_RUNS warm runs each; instructions by callgrind (user space)"
echo
echo "| command | wall s | CPU s | instructions | instructions per byte |"
echo "|---|---|---|---|---|"
for i in "${!names[@]}"; do
    read -r wall cpu <<<"${rows[$i]}"
    echo "| ${names[$i]} | $wall | $cpu | ${instr[$i]} | $(python3 -c "print(f'{${instr[$i]}/$bytes:.3f}')") |"
done
read -r cat_wall cat_cpu <<<"${rows[0]}"
read -r touch_wall touch_cpu <<<"${rows[1]}"
read -r touchr_wall touchr_cpu <<<"${rows[2]}"
read -r hash_wall hash_cpu <<<"${rows[3]}"
read -r hashr_wall hashr_cpu <<<"${rows[4]}"
read -r c_wall c_cpu <<<"${rows[5]}"
read -r j_wall j_cpu <<<"${rows[6]}"
python3 - "${instr[5]}" "${instr[6]}" "${instr[1]}" "${instr[3]}" \
    "$c_wall" "$j_wall" "$cat_wall" "$touch_wall" "$touchr_wall" "$hash_wall" "$hashr_wall" \
    "$c_cpu" "$j_cpu" "$cat_cpu" "$touch_cpu" "$touchr_cpu" "$hash_cpu" "$hashr_cpu" <<'PY'
import sys
ci, ji, ti, hi = map(float, sys.argv[1:5])
cw, jw, catw, tw, trw, hw, hrw = map(float, sys.argv[5:12])
cc, jc, catc, tc, trc, hc, hrc = map(float, sys.argv[12:19])
print()
print(f"- the hash's cost under -c (-c --json less -c): {ji - ci:.0f} instructions ({(ji - ci) / ci * 100:+.1f} % of -c),"
      f" {jw - cw:+.4f} s wall ({(jw - cw) / cw * 100:+.1f} %), {jc - cc:+.4f} s CPU ({(jc - cc) / cc * 100:+.1f} %)")
print(f"- hashing every byte alone (hash_pages less touch_pages): {hi - ti:.0f} instructions;"
      f" mapped {hw - tw:+.4f} s wall, {hc - tc:+.4f} s CPU; read {hrw - trw:+.4f} s wall, {hrc - trc:+.4f} s CPU")
print(f"- reading every byte at all: cat {catw:.4f} s wall, {catc:.4f} s CPU"
      f" ({catw / cw * 100:.0f} % of -c's wall time)")
print(f"- 3 % of -c is {ci * 0.03:.0f} instructions: the hash alone needs {(hi - ti) / (ci * 0.03):.0f}x that")
PY