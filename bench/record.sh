#!/usr/bin/env bash
# The cost and the safety of --db, measured outside the repo:
#   1. --summary -r over 1,500 small recorded files, with and without --db
#      (wall and CPU time, medians of BENCH_RUNS runs each, taken in turns;
#      the goal is within 1.1x);
#   2. peak resident memory of --summary --db over 1,500 and over 6,000
#      recorded files (it must not grow with the record);
#   3. five kill -9 at random moments while 1,500 files are being recorded:
#      SQLite's integrity check must pass after each.
# What the hash costs -c on one long file is bench/hash_cost.sh's to measure.
#
#   bash bench/record.sh
#
# Environment (all optional):
#   FRAMELINT        the binary to measure (default: builds build-rel, Release)
#   BENCH_DIR        where the files go (default /tmp/framelint-record-bench)
#   BENCH_RUNS       timed runs per command (default 31)
#
# Needs: sox lame sqlite3 python3 /usr/bin/time
set -euo pipefail
export LC_ALL=C TZ=UTC

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
BENCH_DIR=${BENCH_DIR:-/tmp/framelint-record-bench}
BENCH_RUNS=${BENCH_RUNS:-31}
say() { printf 'record bench: %s\n' "$*" >&2; }

if [[ -z ${FRAMELINT:-} ]]; then
    cmake -S "$here/.." -B "$here/../build-rel" -DCMAKE_BUILD_TYPE=Release -DFRAMELINT_TESTS=OFF >/dev/null
    cmake --build "$here/../build-rel" -j2 --target framelint >/dev/null
    FRAMELINT=$here/../build-rel/framelint
fi

mkdir -p "$BENCH_DIR"
cd "$BENCH_DIR"

# Files: ten short encodes, each copied behind ID3v2 tags of different sizes;
# every copy has audio of its own, its clip's frames rotated by its number.
make_library() {  # dir count
    local dir=$1 count=$2
    [[ -f $dir/.done-$count ]] && return 0
    rm -rf "$dir" && mkdir -p "$dir"
    for k in 0 1 2 3 4 5 6 7 8 9; do
        [[ -f clip$k.mp3 ]] && continue
        sox -R -n -r 44100 -c 2 clip$k.wav synth 0.$((k + 2)) pinknoise vol 0.3 2>/dev/null
        lame --quiet -t --resample 44.1 -b $((96 + 16 * k)) clip$k.wav clip$k.mp3
    done
    python3 - "$dir" "$count" <<'PY'
import os, sys
d, count = sys.argv[1], int(sys.argv[2])
clips = []
for k in range(10):
    data = open(f"clip{k}.mp3", "rb").read()
    # Its frames, by their headers' lengths (CBR Layer III, 44.1 kHz).
    frames, at = [], 0
    while at + 4 <= len(data) and data[at] == 0xFF:
        rate = [0,32,40,48,56,64,80,96,112,128,160,192,224,256,320][data[at+2] >> 4]
        length = 144000 * rate // 44100 + ((data[at+2] >> 1) & 1)
        frames.append(data[at:at+length]); at += length
    clips.append(frames)
for i in range(count):
    frames = clips[i % 10]
    r = (i // 10) % len(frames)
    tag = b"ID3\x03\x00\x00" + bytes([0, 0, (64 + i % 300) >> 7, (64 + i % 300) & 127]) + b"\0" * (64 + i % 300)
    sub = os.path.join(d, f"{i // 100:02d}")
    os.makedirs(sub, exist_ok=True)
    with open(os.path.join(sub, f"song{i:05d}.mp3"), "wb") as f:
        f.write(tag + b"".join(frames[r:] + frames[:r]))
PY
    touch "$dir/.done-$count"
}

# Two commands, run in turns so that both see the same load:
# "wall1 wall2 cpu1 cpu2", medians (CPU: user + system, the machine's other
# work moves it less than wall time).
median_pair() {
    python3 - "$BENCH_RUNS" "$@" <<'PY'
import os, subprocess, sys, time
runs = int(sys.argv[1])
split = sys.argv.index("--")
cmds = [sys.argv[2:split], sys.argv[split + 1:]]
def one(c):
    t = time.perf_counter()
    p = subprocess.Popen(c, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, _, ru = os.wait4(p.pid, 0)
    return time.perf_counter() - t, ru.ru_utime + ru.ru_stime
for c in cmds:
    one(c)  # warm-up
walls, cpus = [[], []], [[], []]
for _ in range(runs):
    for i, c in enumerate(cmds):
        w, u = one(c)
        walls[i].append(w); cpus[i].append(u)
med = lambda v: sorted(v)[len(v) // 2]
print(" ".join(f"{med(t):.4f}" for t in walls + cpus))
PY
}

say "making 1,500 and 6,000 small files"
make_library lib1500 1500
make_library lib6000 6000

echo "- CPU: $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1), $(nproc) cores; load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "## --summary -r over 1,500 small files (median of $BENCH_RUNS, seconds)"
rm -f rec1500.db*
"$FRAMELINT" --summary -r --db rec1500.db lib1500 >/dev/null || true
read -r plain recorded plain_cpu recorded_cpu < <(median_pair "$FRAMELINT" --summary -r lib1500 -- "$FRAMELINT" --summary -r --db rec1500.db lib1500)
first=$(python3 - "$FRAMELINT" <<'PY'
import glob, os, subprocess, sys, time
times = []
for _ in range(5):
    for f in glob.glob('first.db*'):
        os.remove(f)
    t = time.perf_counter()
    subprocess.run([sys.argv[1], '--summary', '-r', '--db', 'first.db', 'lib1500'], stdout=subprocess.DEVNULL)
    times.append(time.perf_counter() - t)
print(f'{sorted(times)[2]:.4f}')
PY
)
ratio() { python3 -c "print(f'{$1/$2:.3f}')"; }
echo "| command | wall s | ratio | CPU s | ratio |"
echo "|---|---|---|---|---|"
echo "| --summary -r | $plain | 1.00 | $plain_cpu | 1.00 |"
echo "| --summary -r --db (recorded, unchanged) | $recorded | $(ratio "$recorded" "$plain") | $recorded_cpu | $(ratio "$recorded_cpu" "$plain_cpu") |"
echo "| --summary -r --db (first record, median of 5) | $first | $(ratio "$first" "$plain") | | |"

echo
echo "## Peak resident memory of --summary -r --db (recorded files, KiB)"
rm -f rec6000.db*
"$FRAMELINT" --summary -r --db rec6000.db lib6000 >/dev/null || true
for n in 1500 6000; do
    kb=$( (/usr/bin/time -f %M "$FRAMELINT" --summary -r --db rec$n.db lib$n 2>&1 >/dev/null || true) | tail -1)
    echo "- $n files: $kb KiB"
done

echo
echo "## kill -9 while 1,500 files are being recorded"
for k in 1 2 3 4 5; do
    rm -f kill.db*
    "$FRAMELINT" --summary -r --db kill.db lib1500 >/dev/null 2>&1 &
    pid=$!
    sleep "0.$(printf %02d $((RANDOM % 24 + 2)))"  # 0.02 to 0.25 s: the first record takes about 0.3 s
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    rows=$(sqlite3 kill.db 'SELECT count(*) FROM files' 2>/dev/null || echo "?")
    echo "- kill $k: integrity_check $(sqlite3 kill.db 'PRAGMA integrity_check' 2>&1 | head -1), $rows files recorded"
done
