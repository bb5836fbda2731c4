#!/bin/bash
# Limits a run meets on a real machine:
# - --jobs 2 -r under a descriptor limit one job copes with checks every file;
# - -r walks a tree far deeper than recursion would survive, in little memory;
# - a folder the walk skips is counted as unreadable by --summary's tally;
# - --jobs under an address-space limit ends with "out of memory", never a signal.
# bench/limits_stress.sh runs the heavier proofs (10,000 files, 18,000 levels).
# usage: limits_check.sh FRAMELINT DATA_DIR [SANITIZED]
set -u
framelint=$1
data=$2
if [ "${3:-0}" = 1 ]; then
    # AddressSanitizer reserves terabytes of shadow memory up front and keeps
    # descriptors of its own: the limits tried here say nothing of the program.
    echo "skipped: built with the sanitizers"
    exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
song=$(realpath "$data/lame_cbr128.mp3")
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# A chain of directories made by descriptor, deeper than any path may name.
deep_tree() {
    python3 - "$1" "$2" "$song" <<'PY'
import os, sys
top, depth, song = sys.argv[1], int(sys.argv[2]), sys.argv[3]
os.mkdir(top)
fd = os.open(top, os.O_RDONLY | os.O_DIRECTORY)
for _ in range(depth):
    os.mkdir("d", dir_fd=fd)
    sub = os.open("d", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
    os.close(fd)
    fd = sub
out = os.open("bottom.mp3", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd)
os.write(out, open(song, "rb").read())
os.close(out)
os.close(fd)
PY
}

# 300 one-file folders under 30 descriptors: files waiting for a worker must
# not hold so many folders open that a later one cannot be opened.
python3 - "$work/folders" "$song" <<'PY'
import os, sys
top, song = sys.argv[1], open(sys.argv[2], "rb").read()
for i in range(1, 301):
    os.makedirs(f"{top}/{i}")
    open(f"{top}/{i}/a.mp3", "wb").write(song)
PY
for jobs in 1 2 4; do
    checked=$( (ulimit -n 30; "$framelint" --jobs $jobs -r -p "$work/folders" 2>"$work/err") | grep -c FILE_NAME)
    [ "$checked" = 300 ] && [ ! -s "$work/err" ] || fail "--jobs $jobs under ulimit -n 30: $checked of 300 checked: $(head -2 "$work/err")"
done

# Deeper than the stack of a recursive walk allowed (it crashed near 17,000
# levels in 8 MB of stack); under a 1 MB stack 8,000 levels show it as well.
deep_tree "$work/deep" 8000
for jobs in 1 2; do
    out=$( (ulimit -s 1024; ulimit -n 9000; ulimit -v 200000; "$framelint" --jobs $jobs -r -p "$work/deep" 2>"$work/err"); echo "status $?")
    case $out in
    *"/bottom.mp3	GOOD_FRAMES 41"*"status 0") ;;
    *) fail "-r --jobs $jobs over 8,000 levels: $(echo "$out" | tail -c 200) $(head -c 300 "$work/err")" ;;
    esac
done

# A folder skipped (here for want of descriptors) is unreadable in the tally.
deep_tree "$work/skip" 40
for jobs in 1 2; do
    out=$( (ulimit -n 20; "$framelint" --summary --jobs $jobs -r "$work/skip" 2>/dev/null); echo "status $?")
    case $out in
    "1 file: 0 clean, 0 damaged, 1 unreadable ("*"status 1") ;;
    *) fail "--summary --jobs $jobs with a skipped folder: $out" ;;
    esac
done

# Out of memory under --jobs: a message once, status 1, never a signal.
mkdir "$work/many"
python3 -c 'import os, sys; [os.symlink(sys.argv[2], f"{sys.argv[1]}/{i}.mp3") for i in range(2000)]' "$work/many" "$song"
for limit in 90000 160000 200000; do
    for run in 1 2; do
        (ulimit -v $limit; "$framelint" --jobs 64 -p "$work/many"/*.mp3 >/dev/null 2>"$work/err")
        status=$?
        said=$(grep -c "out of memory" "$work/err")
        if [ $status -ge 128 ] || { [ $status = 1 ] && [ "$said" != 1 ]; } || grep -qv "out of memory" "$work/err"; then
            fail "--jobs 64 under ulimit -v $limit: status $status, said: $(head -c 300 "$work/err")"
        fi
    done
done

[ $failures = 0 ]
