#!/usr/bin/env bash
# Writes tests/data/changed/: copies of the real-encoder fixtures that common
# tools changed on purpose, which -c must not call damaged. Needs lame, sox,
# mp3gain and mp3splt (Debian packages of those names); installs nothing.
#
# Run:  bash tests/data/make_changed_cases.sh
# Made with Debian 12: mp3gain 1.6.2, mp3splt 2.6.2, lame 3.100, sox 14.4.2.
set -euo pipefail
export LC_ALL=C TZ=UTC

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
for tool in lame sox mp3gain mp3splt python3; do
    command -v "$tool" >/dev/null || { echo "make_changed_cases: $tool not found" >&2; exit 1; }
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
out="$here/changed"
mkdir -p "$out"
rm -f "$out"/*.mp3

# mp3gain, track gain (-r), its undo record in APEv2 (-s a), in an ID3v2 tag
# (-s i) or kept nowhere (-s s); -l 0 changes the left channel alone.
gain() {  # SOURCE OUT MP3GAIN-ARGS...
    local src=$1 name=$2
    shift 2
    cp "$here/$src" "$out/$name"
    mp3gain -q "$@" "$out/$name" >/dev/null 2>&1
}
gain lame_cbr128.mp3 gain_cbr_ape.mp3 -r -s a
gain lame_cbr128.mp3 gain_cbr_id3v2.mp3 -r -s i
gain lame_cbr128.mp3 gain_cbr_none.mp3 -r -s s
gain lame_vbr.mp3 gain_vbr_ape.mp3 -r -s a
gain lame_vbr.mp3 gain_vbr_id3v2.mp3 -r -s i
gain lame_vbr.mp3 gain_vbr_none.mp3 -r -s s
# A rise (-g 3) holds at 255 the gains lame wrote as 255: what they were
# before cannot be told from the file alone.
gain lame_vbr.mp3 gain_vbr_up_ape.mp3 -g 3 -s a
gain lame_vbr.mp3 gain_vbr_up_none.mp3 -g 3 -s s
# A rise, then mp3gain's undo; a rise and a cut, neither recorded: the gains
# the rise held at 255 end below it, the rest as encoded.
gain lame_vbr.mp3 gain_vbr_up_undone.mp3 -g 4
mp3gain -q -u "$out/gain_vbr_up_undone.mp3" >/dev/null 2>&1
gain lame_vbr.mp3 gain_vbr_twice_none.mp3 -g 2 -s s
mp3gain -q -g -2 -s s "$out/gain_vbr_twice_none.mp3" >/dev/null 2>&1
# Protected frames: mp3gain writes each frame's CRC word anew.
gain lame_crc.mp3 gain_crc_ape.mp3 -g -3 -s a
gain lame_crc_mpeg2_mono.mp3 gain_crc_mono_none.mp3 -g 2 -s s

# A granule whose global gain is 0, as some encoders write silence (lame's
# CBR fixture with one frame's gains set to 0, its LAME tag's CRCs made to
# match), then raised: mp3gain leaves a gain of 0 where it is.
python3 - "$here/lame_cbr128.mp3" "$tmp/silent.mp3" <<'PY'
import sys
def crc16_arc(b, crc=0):
    for x in b:
        crc ^= x
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc
d = bytearray(open(sys.argv[1], "rb").read())
lame = d.find(b"LAME")
music_end = int.from_bytes(d[lame + 28:lame + 32], "big")
first = 417  # the Info frame: 128 kbit/s at 44.1 kHz, unpadded
at = first
for _ in range(5):
    at += 417 + ((int.from_bytes(d[at:at + 4], "big") >> 9) & 1)
side = int.from_bytes(d[at + 4:at + 36], "big")
for slot in range(4):  # two granules of two channels
    side &= ~(0xFF << (256 - (20 + 59 * slot + 21) - 8))
d[at + 4:at + 36] = side.to_bytes(32, "big")
d[lame + 32:lame + 34] = crc16_arc(d[first:music_end]).to_bytes(2, "big")
d[lame + 34:lame + 36] = crc16_arc(d[:lame + 34]).to_bytes(2, "big")
open(sys.argv[2], "wb").write(d)
PY
cp "$tmp/silent.mp3" "$out/gain_silent_up_none.mp3"
mp3gain -q -g 2 -s s "$out/gain_silent_up_none.mp3" >/dev/null 2>&1

# mp3splt's parts of a lame VBR file: a Xing frame with new counts, the LAME
# tag as the whole file had it.
mp3splt -q -f -d "$tmp/split" -o part@n "$here/lame_vbr.mp3" 0.00.00 0.00.50 EOF >/dev/null 2>&1
cp "$tmp/split/part1.mp3" "$out/split_part1.mp3"
cp "$tmp/split/part2.mp3" "$out/split_part2.mp3"

# The LAME tag's encoder string edited: to another LAME version, and to a
# name no encoder writes.
python3 - "$here/lame_vbr.mp3" "$out" <<'PY'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
at = data.find(b"LAME3.100")
for name, text in (("encoder_edited.mp3", b"LAME3.99r"), ("encoder_renamed.mp3", b"GRP-RIP!!")):
    copy = bytearray(data)
    copy[at:at + 9] = text
    open(f"{sys.argv[2]}/{name}", "wb").write(copy)
PY

# Mono, then two channels, then mono again, 44.1 kHz, no tags (-t): the
# switch the standard allows.
sox -R -D -n -r 44100 -c 1 -b 16 "$tmp/m.wav" synth 0.3 sine 440 gain -3
sox -R -D -n -r 44100 -c 2 -b 16 "$tmp/s.wav" synth 0.3 sine 440 sine 660 gain -3
lame --quiet -t -b 64 -m m "$tmp/m.wav" "$tmp/m.mp3"
lame --quiet -t -b 128 -m s "$tmp/s.wav" "$tmp/s.mp3"
cat "$tmp/m.mp3" "$tmp/s.mp3" "$tmp/m.mp3" >"$out/mono_stereo_mono.mp3"

# One channel's gain changed (mp3gain does that only in plain stereo), no record.
lame --quiet -V 2 -m s "$tmp/s.wav" "$out/gain_stereo_left_none.mp3"
mp3gain -q -l 0 -5 -s s "$out/gain_stereo_left_none.mp3" >/dev/null 2>&1

ls -l "$out"
