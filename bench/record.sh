#!/usr/bin/env bash
# The cost and the safety of --db, measured outside the repo:
#   1. --summary -r over 1,500 small recorded files, with and without --db
#      (wall time, median of BENCH_RUNS runs each; the goal is within 1.1x);
#   2. -c on one long file, instructions (callgrind) of this build against
#      BASE_FRAMELINT, a build without the audio hash (goal: within 3 %);
#   3. peak resident memory of --summary --db over 1,500 and over 6,000
#      recorded files (it must not grow with the record);
#   4. five kill -9 at random moments while 1,500 files are being recorded:
#      SQLite's integrity check must pass after each.
#
#   bash bench/record.sh
#
# Environment (all optional):
#   FRAMELINT        the binary to measure (default: builds build-rel, Release)
#   BASE_FRAMELINT   a binary without the hash, for the instruction count (skipped when unset)
#   BENCH_DIR        where the files go (default /tmp/framelint-record-bench)
#   BENCH_RUNS       timed runs per command (default 21)
#   BENCH_LONG_MB    size of the long file in MiB (default 96)
#
# Needs: sox lame sqlite3 valgrind python3 /usr/bin/time
set -euo pipefail
export LC_ALL=C TZ=UTC

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
BENCH_DIR=${BENCH_DIR:-/tmp/framelint-record-bench}
BENCH_RUNS=${BENCH_RUNS:-21}
BENCH_LONG_MB=${BENCH_LONG_MB:-96}
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

median_pair() {  # two commands, run in turns so that both see the same load: "median1 median2"
    python3 - "$BENCH_RUNS" "$@" <<'PY'
import subprocess, sys, time
runs = int(sys.argv[1])
split = sys.argv.index("--")
cmds = [sys.argv[2:split], sys.argv[split + 1:]]
for c in cmds:
    subprocess.run(c, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)  # warm-up
times = [[], []]
for _ in range(runs):
    for i, c in enumerate(cmds):
        t = time.perf_counter()
        subprocess.run(c, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        times[i].append(time.perf_counter() - t)
print(" ".join(f"{sorted(t)[len(t) // 2]:.4f}" for t in times))
PY
}

say "making 1,500 and 6,000 small files"
make_library lib1500 1500
make_library lib6000 6000

echo "## --summary -r over 1,500 small files (median of $BENCH_RUNS, seconds)"
rm -f rec1500.db*
"$FRAMELINT" --summary -r --db rec1500.db lib1500 >/dev/null || true
read -r plain recorded < <(median_pair "$FRAMELINT" --summary -r lib1500 -- "$FRAMELINT" --summary -r --db rec1500.db lib1500)
first=$(rm -f first.db*; python3 -c "
import subprocess,time; t=time.perf_counter()
subprocess.run(['$FRAMELINT','--summary','-r','--db','first.db','lib1500'],stdout=subprocess.DEVNULL)
print(f'{time.perf_counter()-t:.4f}')")
echo "| command | seconds | ratio |"
echo "|---|---|---|"
echo "| --summary -r | $plain | 1.00 |"
echo "| --summary -r --db (recorded, unchanged) | $recorded | $(python3 -c "print(f'{$recorded/$plain:.3f}')") |"
echo "| --summary -r --db (first record, one run) | $first | $(python3 -c "print(f'{$first/$plain:.3f}')") |"

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

if [[ -n ${BASE_FRAMELINT:-} ]]; then
    echo
    echo "## -c on a ${BENCH_LONG_MB} MiB file: instructions (callgrind)"
    if [[ ! -f long.mp3 ]]; then
        sox -R -n -r 44100 -c 2 long.wav synth 30 pinknoise vol 0.3 2>/dev/null
        lame --quiet -V 2 long.wav clip_long.mp3
        lame --quiet -t -V 2 long.wav clip_long_t.mp3
        python3 -c "
import sys
head, body = open('clip_long.mp3','rb').read(), open('clip_long_t.mp3','rb').read()
out = open('long.mp3','wb'); out.write(head); n = len(head)
while n < $BENCH_LONG_MB * 1048576: out.write(body); n += len(body)"
    fi
    count() {
        { valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null || true; } | sed -n 's/.*Collected : //p'
    }
    base=$(count "$BASE_FRAMELINT" -c long.mp3)
    echo "- -c, before the hash existed: $base"
    for how in "-c" "-c --json"; do
        this=$(count "$FRAMELINT" $how long.mp3)
        echo "- $how: $this ($(python3 -c "print(f'{($this-$base)/$base*100:+.2f} %')"))"
    done
fi
