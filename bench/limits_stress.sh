#!/bin/bash
# The full-size proofs of the limits (tests/limits_check.sh runs smaller ones):
# - 12 runs of --jobs 64 over 10,000 files under ulimit -v of 90,000, 160,000
#   and 200,000 KiB: none may end by a signal; each says "out of memory" at
#   most once;
# - -r over 18,000 levels with ulimit -n 20000 checks the file at the bottom
#   (time and peak memory are printed);
# - --files-from /dev/zero under ulimit -v 600000 ends by itself.
# usage: bench/limits_stress.sh FRAMELINT SONG.mp3
set -u
framelint=$1
song=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bad=0

mkdir "$work/many"
python3 -c 'import os, sys; [os.symlink(sys.argv[2], f"{sys.argv[1]}/{i}.mp3") for i in range(10000)]' "$work/many" "$song"
for limit in 90000 160000 200000; do
    for run in 1 2 3 4; do
        (ulimit -v $limit; "$framelint" --jobs 64 -p "$work/many"/*.mp3 >/dev/null 2>"$work/err")
        status=$?
        echo "ulimit -v $limit run $run: status $status, 'out of memory' said $(grep -c 'out of memory' "$work/err") times"
        [ $status -lt 128 ] || bad=1
    done
done

python3 - "$work/deep" 18000 "$song" <<'PY'
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
PY
for jobs in 1 2; do
    (ulimit -n 20000; /usr/bin/time -f "-r --jobs $jobs over 18,000 levels: %e s, peak %M KiB" \
        "$framelint" --jobs $jobs -r -p "$work/deep" >"$work/out" 2>"$work/err")
    tail -1 "$work/err"
    grep -q "/bottom.mp3	GOOD_FRAMES" "$work/out" || { echo "  the bottom file was not checked"; bad=1; }
done

for null in "" --null; do
    (ulimit -v 600000; timeout 60 "$framelint" $null --files-from /dev/zero >/dev/null 2>"$work/err")
    echo "--files-from /dev/zero $null: status $?: $(cat "$work/err")"
done
exit $bad
