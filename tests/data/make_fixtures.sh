#!/usr/bin/env bash
# Regenerates the real-encoder fixtures in this directory (tests/data/) and
# MANIFEST.tsv, which describes them with facts from ffprobe and from the
# independent frame walker walk_frames.py (never from framelint itself).
#
# Needs these Debian packages (this script installs nothing):
#   apt-get install -y lame twolame ffmpeg sox id3v2 eyed3 python3 python3-mutagen
# Made with Debian 12: lame 3.100, twolame 0.4.0, ffmpeg 5.1, sox 14.4.2,
# id3v2 0.1.12 (id3lib 3.8.3), eyeD3 0.9.7.  Other versions may give other
# bytes; MANIFEST.tsv is rewritten to match whatever they give.
#
# Run:  bash tests/data/make_fixtures.sh
#
# Everything is deterministic: the input signals are fixed sox synth tones
# (no noise, no dither: -D), and no tool writes a date (ffmpeg runs with
# +bitexact and writes no metadata; lame's Info frame holds no date).
set -euo pipefail
export LC_ALL=C TZ=UTC

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
for tool in lame twolame ffmpeg ffprobe sox id3v2 eyeD3 python3 mid3v2; do
    command -v "$tool" >/dev/null || { echo "make_fixtures: $tool not found" >&2; exit 1; }
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$here"

# tone OUT RATE CHANNELS SECONDS SYNTH-ARGS...  (16-bit WAV, -3 dB, short fades)
tone() {
    local out=$1 rate=$2 ch=$3 secs=$4
    shift 4
    sox -R -D -n -r "$rate" -c "$ch" -b 16 "$tmp/$out" \
        synth "$secs" "$@" gain -3 fade 0.01 "$secs" 0.05
}
tone s44.wav  44100 2 1.0 sine 440 sine 660          # left 440 Hz, right 660 Hz
tone sw44.wav 44100 2 1.0 sine 220:1760 sine 660     # sweep, so VBR varies
tone s48.wav  48000 2 1.0 sine 440 sine 660
tone s32.wav  32000 2 1.0 sine 440 sine 660
tone s24.wav  24000 2 1.0 sine 440 sine 660
tone s22.wav  22050 2 1.0 sine 440 sine 660
tone m8.wav    8000 1 1.5 sine 440

names=()
made=()
add() { names+=("$1"); made+=("$2"); }

# ---- Layer III, lame -------------------------------------------------------
# lame writes its Info (CBR) / Xing (VBR) frame first by default: a valid
# frame that carries no audio.  It is kept on purpose.
lame --quiet -b 128 -m j "$tmp/s44.wav" lame_cbr128.mp3
add lame_cbr128.mp3 "lame -b 128 -m j (Info frame kept)"
lame --quiet -V 2 "$tmp/sw44.wav" lame_vbr.mp3
add lame_vbr.mp3 "lame -V 2 (Xing frame)"
lame --quiet -b 64 -m j "$tmp/s22.wav" lame_mpeg2_64.mp3
add lame_mpeg2_64.mp3 "lame -b 64 -m j, 22.05 kHz input"
lame --quiet -b 16 -m m "$tmp/m8.wav" lame_mpeg25_8k.mp3
add lame_mpeg25_8k.mp3 "lame -b 16 -m m, 8 kHz input"
lame --quiet -p -b 128 -m j "$tmp/s44.wav" lame_crc.mp3
add lame_crc.mp3 "lame -p -b 128 -m j (CRC)"

# ---- Layer III, ffmpeg (libmp3lame), plain frames only ---------------------
ffmpeg -nostdin -hide_banner -loglevel error -y -i "$tmp/s32.wav" \
    -map_metadata -1 -fflags +bitexact -flags:a +bitexact \
    -c:a libmp3lame -b:a 96k -write_xing 0 -id3v2_version 0 -f mp3 ffmpeg_l3.mp3
add ffmpeg_l3.mp3 "ffmpeg -c:a libmp3lame -b:a 96k -write_xing 0 -id3v2_version 0"

# ---- Layer II, twolame -----------------------------------------------------
twolame --quiet -b 192 -m s "$tmp/s48.wav" twolame_l2_192.mp2
add twolame_l2_192.mp2 "twolame -b 192 -m s"
# MPEG-2 (LSF) Layer II allows every bit rate in every mode; MPEG-1 Layer II
# forbids 32/48/56/80 kbit/s in stereo.  These two are valid streams.
twolame --quiet -b 48 -m s "$tmp/s24.wav" twolame_mpeg2_l2_stereo48.mp2
add twolame_mpeg2_l2_stereo48.mp2 "twolame -b 48 -m s, 24 kHz input"
twolame --quiet -b 80 -m s "$tmp/s24.wav" twolame_mpeg2_l2_stereo80.mp2
add twolame_mpeg2_l2_stereo80.mp2 "twolame -b 80 -m s, 24 kHz input"
twolame --quiet -p -b 192 -m s "$tmp/s48.wav" twolame_l2_crc.mp2
add twolame_l2_crc.mp2 "twolame -p -b 192 -m s (CRC)"

# ---- More encoder tags, for the integrity check (-c) ------------------------
# ffmpeg's LAME tag ("Lavc...") in a mono frame: its tag CRC covers the first
# 190 bytes with the field as 0, which is not where LAME's own rule stops.
ffmpeg -nostdin -hide_banner -loglevel error -y -i "$tmp/m8.wav" -ar 44100 -ac 1 \
    -map_metadata -1 -fflags +bitexact -flags:a +bitexact \
    -c:a libmp3lame -b:a 64k -id3v2_version 0 -f mp3 ffmpeg_lavc_mono.mp3
add ffmpeg_lavc_mono.mp3 "ffmpeg -c:a libmp3lame -b:a 64k, mono 44.1 kHz (Xing frame with a Lavc LAME tag)"
lame --quiet -V 5 "$tmp/m8.wav" lame_vbr_mpeg25.mp3
add lame_vbr_mpeg25.mp3 "lame -V 5, 8 kHz mono input (MPEG-2.5 Xing frame)"
lame --quiet -p -b 64 -m m "$tmp/s22.wav" lame_crc_mpeg2_mono.mp3
add lame_crc_mpeg2_mono.mp3 "lame -p -b 64 -m m, 22.05 kHz input (CRC, MPEG-2 mono)"
twolame --quiet -p -b 96 -m j "$tmp/s24.wav" twolame_mpeg2_crc.mp2
add twolame_mpeg2_crc.mp2 "twolame -p -b 96 -m j, 24 kHz input (CRC, MPEG-2 joint stereo)"

# ---- Tags, on the lame_cbr128.mp3 audio -----------------------------------
tag() { cp lame_cbr128.mp3 "$1"; }
tag tag_v23.mp3
id3v2 -2 -t "Fixture Tone" -a "framelint fixtures" tag_v23.mp3
add tag_v23.mp3 "lame_cbr128.mp3 + id3v2 -2 -t -a (ID3v2.3 only, id3lib padding)"
tag tag_v24.mp3
eyeD3 --no-config --no-color -Q --to-v2.4 -t "Fixture Tone" -a "framelint fixtures" \
    tag_v24.mp3 >/dev/null
add tag_v24.mp3 "lame_cbr128.mp3 + eyeD3 --to-v2.4 -t -a (ID3v2.4 only, eyeD3 padding)"
tag tag_v1.mp3
# A 30-character comment fills the whole v1.0 comment field, so the tag
# cannot be mistaken for a v1.1 one.
id3v2 -1 -t "Fixture Tone" -a "framelint fixtures" \
    -c "A comment of thirty characters" tag_v1.mp3
add tag_v1.mp3 "lame_cbr128.mp3 + id3v2 -1 -t -a -c (ID3v1.0 only, 30-char comment)"
tag tag_v11.mp3
id3v2 -1 -t "Fixture Tone" -a "framelint fixtures" -T 7 tag_v11.mp3
add tag_v11.mp3 "lame_cbr128.mp3 + id3v2 -1 -t -a -T 7 (ID3v1.1 only, track 7)"
tag tag_both.mp3
id3v2 -t "Fixture Tone" -a "framelint fixtures" -T 3 tag_both.mp3
add tag_both.mp3 "lame_cbr128.mp3 + id3v2 -t -a -T 3 (ID3v2.3 in front, ID3v1.1 at end)"

# ---- MANIFEST.tsv ----------------------------------------------------------
walker_cols=$(python3 walk_frames.py --header --tsv)
{
    printf 'file\tbytes\tmade_by\t%s\tframes_ffprobe\tffprobe_codec\n' "$walker_cols"
    for i in "${!names[@]}"; do
        f=${names[$i]}
        row=$(python3 walk_frames.py --tsv "$f")
        frames_ff=$(ffprobe -v error -count_packets -select_streams a:0 \
            -show_entries stream=nb_read_packets -of default=nw=1:nk=1 "$f")
        codec=$(ffprobe -v error -select_streams a:0 \
            -show_entries stream=codec_name -of default=nw=1:nk=1 "$f")
        printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$f" "$(stat -c %s "$f")" "${made[$i]}" \
            "$row" "$frames_ff" "$codec"
    done
} > MANIFEST.tsv

# ---- Cross-checks: walker against ffprobe ----------------------------------
python3 - MANIFEST.tsv <<'EOF'
import csv, subprocess, sys
bad = 0
for r in csv.DictReader(open(sys.argv[1]), delimiter="\t"):
    f = r["file"]
    probe = subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
         "stream=sample_rate,channels", "-of", "default=nw=1", f],
        capture_output=True, text=True, check=True).stdout
    p = dict(line.split("=", 1) for line in probe.split())
    info = 1 if r["info_frame"] != "-" else 0
    checks = [
        ("sample rate", p["sample_rate"], r["sample_rate"]),
        ("channels", p["channels"], "1" if r["channel_mode"] == "mono" else "2"),
        ("codec", r["ffprobe_codec"], "mp%s" % r["layer"]),
        # ffprobe does not count lame's Info/Xing frame as a packet
        ("frames", r["frames_ffprobe"], str(int(r["frames_walker"]) - info)),
        ("trailing bytes", r["trailing_bytes"], "0"),
        ("bytes", r["bytes"], str(int(r["end_offset"]) + (128 if r["id3v1"] != "-" else 0))),
    ]
    if r["protected"] == "1":
        checks.append(("crc", r["crc_ok_frames"], r["frames_walker"]))
    for what, got, want in checks:
        if got != want:
            print("make_fixtures: %s: %s is %s, expected %s" % (f, what, got, want))
            bad += 1
sys.exit(1 if bad else 0)
EOF

# ---- Integrity (-c) cases: tag stacks and damaged copies ------------------
# Derived from the fixtures above by make_integrity_cases.py; not in MANIFEST.tsv
# (their ends are tags the walker does not know, or damage on purpose).
python3 make_integrity_cases.py
# Real encoders and taggers on top: an ABR file, and retagging by mid3v2 and by
# mutagen's APEv2 writer (both from python3-mutagen, run by the system Python).
lame --quiet --abr 96 "$tmp/s44.wav" integrity/lame_abr96.mp3
cp lame_vbr.mp3 integrity/tags_mid3v2.mp3
mid3v2 -t "Fixture Tone" -a "framelint fixtures" integrity/tags_mid3v2.mp3 >/dev/null
cp tag_v1.mp3 integrity/tags_mutagen_apev2_v1.mp3
/usr/bin/python3 -c 'import sys; from mutagen.apev2 import APEv2; t = APEv2(); t["Title"] = "Fixture Tone"; t["Artist"] = "framelint fixtures"; t.save(sys.argv[1])' \
    integrity/tags_mutagen_apev2_v1.mp3
# eyeD3 with a cover picture on VBR audio: the tag's frames (texts, the
# picture) show where it ends, for the copies whose size a bit error changed.
/usr/bin/python3 -c 'import random, struct, sys, zlib
rows = random.Random(26)
raw = b"".join(b"\0" + bytes(rows.randrange(256) for _ in range(96)) for _ in range(32))
def chunk(kind, data): return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 32, 32, 8, 2, 0, 0, 0)) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")
open(sys.argv[1], "wb").write(png)' "$tmp/cover.png"
cp lame_vbr.mp3 integrity/tags_eyed3_cover.mp3
eyeD3 --no-config --no-color -Q --to-v2.4 -t "Fixture Tone" -a "framelint fixtures" \
    --add-image "$tmp/cover.png:FRONT_COVER" integrity/tags_eyed3_cover.mp3 >/dev/null
# Tags holding sync words, joined files, mis-sized tags and the notices.
/usr/bin/python3 make_stream_cases.py

total=0
for f in "${names[@]}"; do total=$((total + $(stat -c %s "$f"))); done
echo "make_fixtures: ${#names[@]} fixtures, $total bytes, MANIFEST.tsv written"
