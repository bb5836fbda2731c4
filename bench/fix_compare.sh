#!/usr/bin/env bash
# framelint --fix beside mp3val -f, on the same damaged files.
#
#   bash bench/fix_compare.sh            # writes bench/fix_results.md
#
# Environment (all optional):
#   FRAMELINT   the binary to compare     (default: build/framelint, built if missing)
#   FIX_DIR     where the files go        (default /tmp/framelint-fix-compare, never inside the repo)
#
# Sources, 8 s of the same sox synthesis encoded by real encoders: lame CBR
# 128 kbit/s and VBR -V 2 (each with its Info/Xing frame and LAME tag), lame
# VBR -t (no VBR header), twolame Layer II 192 kbit/s; the VBR file with an
# ID3v2.4 tag holding a cover picture (eyeD3), the CBR file with an ID3v1 tag
# (id3v2).  fix_compare.py damages copies of them (cut downloads, joins, junk
# at the front, middle and end, zeroed and deleted blocks, flipped header
# bits, a cut-then-tagged file, an ID3v2 size into the audio, VBR without a
# header), repairs one copy with each tool, and measures each result.
#
# Needs: sox lame twolame ffmpeg (ffprobe) id3v2 eyed3 mp3val python3
#   apt-get install -y sox lame twolame ffmpeg id3v2 eyed3 mp3val python3
set -euo pipefail
export LC_ALL=C TZ=UTC

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
top=$(cd "$here/.." && pwd)
FIX_DIR=${FIX_DIR:-/tmp/framelint-fix-compare}
say() { printf 'fix_compare: %s\n' "$*" >&2; }
die() { say "$*"; exit 1; }

for tool in sox lame twolame ffmpeg ffprobe id3v2 eyeD3 mp3val python3; do
    command -v "$tool" >/dev/null ||
        die "$tool not found (apt-get install -y sox lame twolame ffmpeg id3v2 eyed3 mp3val python3)"
done
case "$(realpath -m "$FIX_DIR")/" in
"$(realpath "$top")"/*) die "FIX_DIR is inside the repo; generated audio stays out of it" ;;
esac
mkdir -p "$FIX_DIR"

if [[ -z ${FRAMELINT:-} ]]; then
    FRAMELINT=$top/build/framelint
    if [[ ! -x $FRAMELINT ]]; then
        cmake -S "$top" -B "$top/build" >/dev/null && cmake --build "$top/build" -j2 --target framelint >/dev/null
    fi
fi
[[ -x $FRAMELINT ]] || die "no framelint binary at $FRAMELINT"

src=$FIX_DIR/sources
rm -rf "$src" && mkdir -p "$src"
cd "$src"
say "encoding the sources in $src"
sox -R -n -r 44100 -c 2 -b 16 signal.wav synth 8 sine 200-2000 synth 8 pinknoise mix vol 0.5
lame --quiet -b 128 signal.wav cbr.mp3
lame --quiet -V 2 signal.wav vbr.mp3
lame --quiet -t -V 2 signal.wav vbr_no_header.mp3
twolame --quiet -b 192 signal.wav layer2.mp2
ffmpeg -v error -f lavfi -i testsrc=size=320x320 -frames:v 1 cover.png
cp vbr.mp3 vbr_picture.mp3
eyeD3 --quiet --to-v2.4 -t "Picture" -a "Tagged" --add-image cover.png:FRONT_COVER vbr_picture.mp3 >/dev/null
cp cbr.mp3 cbr_id3v1.mp3
id3v2 -1 -t "Version one" -a "Tagged" -A "Album" -y 2026 cbr_id3v1.mp3

/usr/bin/env python3 "$here/fix_compare.py" "$FRAMELINT" "$src" "$FIX_DIR/work" > "$here/fix_results.md"
say "table written to bench/fix_results.md"
cat "$here/fix_results.md"
