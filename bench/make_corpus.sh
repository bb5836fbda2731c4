#!/usr/bin/env bash
# Makes the benchmark corpora from real encoder output, outside the repo.
#
#   bash bench/make_corpus.sh [--force]
#
# Environment (all optional):
#   BENCH_DIR         where the corpora go            (default /tmp/framelint-bench)
#   BENCH_SIZE_MB     size of the main corpus in MiB  (default 1024)
#   BENCH_TINY_COUNT  number of tiny files            (default 2000)
#   BENCH_LONG_MB     size of the one long file, MiB  (default 96)
#
# Result, under $BENCH_DIR:
#   big/    files of 3-10 MiB: lame CBR/VBR/ABR Layer III at MPEG-1, 2 and 2.5
#           rates, twolame Layer II, some with CRC, some with ID3v2 (id3v2,
#           eyeD3 with cover art) and ID3v1 tags, and three damaged files
#           (dmg_*: cut short, noise spliced in, zeros spliced in); where
#           lame wrote an Info/Xing frame and LAME tag, they describe the
#           whole file, as if it had been encoded in one go
#   tiny/   $BENCH_TINY_COUNT files of 2-20 KB (whole short encodes, some tagged)
#   long/   one clean lame VBR file of $BENCH_LONG_MB MiB (standard input and
#           instruction counts)
#   MANIFEST.tsv  set, file, bytes, frames (expected: from the repo's independent
#           walker tests/data/walk_frames.py run on the clips, else ffprobe; "-"
#           for the damaged files), format, id3v2, id3v1
#   count_notes.txt  clips on which ffprobe and the walker disagree
#   corpus.stamp  the parameters; a second run with the same ones does nothing
#
# Short clips (30 s, or under 2 s for the tiny set) are encoded once and then
# concatenated to reach the sizes; nobody encodes a gigabyte.  The signals are
# sox syntheses with repeatable noise (-R) plus one lame-decoded signal, so
# every run makes the same audio.  Tag writers may differ between versions.
#
# Needs: sox lame twolame ffmpeg (ffprobe) id3v2 eyed3 python3
#   apt-get install -y sox lame twolame ffmpeg id3v2 eyed3 python3
set -euo pipefail
export LC_ALL=C TZ=UTC

BENCH_DIR=${BENCH_DIR:-/tmp/framelint-bench}
BENCH_SIZE_MB=${BENCH_SIZE_MB:-1024}
BENCH_TINY_COUNT=${BENCH_TINY_COUNT:-2000}
BENCH_LONG_MB=${BENCH_LONG_MB:-96}
force=0
[[ ${1:-} == --force ]] && force=1

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
say() { printf 'make_corpus: %s\n' "$*" >&2; }
die() { say "$*"; exit 1; }

for tool in sox lame twolame ffmpeg ffprobe id3v2 eyeD3 python3 od; do
    command -v "$tool" >/dev/null || die "$tool not found (apt-get install -y sox lame twolame ffmpeg id3v2 eyed3 python3)"
done

mkdir -p "$BENCH_DIR"
BENCH_DIR=$(cd "$BENCH_DIR" && pwd -P)
repo_top=$(git -C "$here" rev-parse --show-toplevel 2>/dev/null || true)
if [[ -n $repo_top ]]; then
    repo_top=$(cd "$repo_top" && pwd -P)
    case "$BENCH_DIR/" in
    "$repo_top"/*) die "BENCH_DIR ($BENCH_DIR) is inside the repo; generated audio stays out of it" ;;
    esac
fi

stamp_text="size_mb=$BENCH_SIZE_MB tiny=$BENCH_TINY_COUNT long_mb=$BENCH_LONG_MB script=$(cat "$here/make_corpus.sh" "$here/fix_info_frame.py" | cksum | cut -d' ' -f1)"
if ((force == 0)) && [[ -f $BENCH_DIR/corpus.stamp ]] && [[ $(cat "$BENCH_DIR/corpus.stamp") == "$stamp_text" ]]; then
    say "corpus in $BENCH_DIR is up to date"
    exit 0
fi

# A new corpus makes the saved reference outputs meaningless, whichever
# revision made them (reference/, or reference-<revision>/).
rm -rf "$BENCH_DIR/big" "$BENCH_DIR/tiny" "$BENCH_DIR/long" "$BENCH_DIR/reference" "$BENCH_DIR"/reference-* \
    "$BENCH_DIR/work" "$BENCH_DIR/MANIFEST.tsv" "$BENCH_DIR/corpus.stamp" "$BENCH_DIR/count_notes.txt"
mkdir -p "$BENCH_DIR/big" "$BENCH_DIR/tiny" "$BENCH_DIR/long" "$BENCH_DIR/work/clip" "$BENCH_DIR/work/tiny"
W=$BENCH_DIR/work
started=$SECONDS

fsize() { stat -c %s "$1"; }

# ---- signals -----------------------------------------------------------------
say "synthesising signals"
# "noisy": pink noise under plucked notes, slowly amplitude-modulated: lame -V 2
# lands near 185 kbit/s, as on pop music.  "tonal": sweeps over quieter noise.
sox -R -D -n -r 44100 -c 2 -b 16 "$W/n44.wav" synth 30 pinknoise pinknoise \
    synth 30 pluck mix 220 pluck mix 330 synth 30 sine amod 0.3-3 \
    tremolo 2 30 gain -4 fade 0.05 30 0.1
sox -R -D -n -r 44100 -c 2 -b 16 "$W/t44.wav" synth 30 sine 110-880 sine 165-1320 \
    synth 30 pinknoise mix synth 30 square amod 0.5 tremolo 5 40 gain -8 fade 0.05 30 0.1
# A lame-decoded signal: what a transcoded file carries.
lame --quiet -V 7 --resample 44.1 "$W/n44.wav" "$W/d44.mp3"
lame --quiet --decode "$W/d44.mp3" "$W/d44.wav"
for rate in 48000 32000 24000 22050 16000 12000 11025 8000; do
    sox -R -D "$W/n44.wav" -r "$rate" "$W/n$rate.wav"
done
sox -R -D "$W/n16000.wav" -c 1 "$W/m16000.wav" remix 1,2
sox -R -D "$W/n12000.wav" -c 1 "$W/m12000.wav" remix 1,2
sox -R -D "$W/n8000.wav" -c 1 "$W/m8000.wav" remix 1,2
sox -R -D "$W/n32000.wav" -c 1 "$W/m32000.wav" remix 1,2

# ---- formats -------------------------------------------------------------------
# name | signal | sample rate it must come out at | encoder and its options.  Weight = how often the format recurs
# in the main corpus (MPEG-1 Layer III at 44.1 kHz dominates real collections).
formats=(
    "l3_cbr128_44|n44|44100|lame -b 128|4"
    "l3_cbr192_44|t44|44100|lame -b 192|3"
    "l3_cbr256_44|d44|44100|lame -b 256|2"
    "l3_cbr320_44|n44|44100|lame -b 320|4"
    "l3_cbr160_48|n48000|48000|lame -b 160|1"
    "l3_cbr96_32m|m32000|32000|lame -b 96 -m m|1"
    "l3_v0_44|n44|44100|lame -V 0|4"
    "l3_v2_44|n44|44100|lame -V 2|5"
    "l3_v2_44t|t44|44100|lame -V 2|2"
    "l3_v5_44|d44|44100|lame -V 5|2"
    "l3_abr160_44|n44|44100|lame --abr 160|1"
    "l3_crc192_44|n44|44100|lame -p -b 192|1"
    "l3m2_cbr64_22|n22050|22050|lame -b 64|1"
    "l3m2_v4_24|n24000|24000|lame -V 4|1"
    "l3m2_cbr32_16m|m16000|16000|lame -b 32 -m m|1"
    "l3m25_cbr32_11|n11025|11025|lame -b 32|1"
    "l3m25_cbr24_12m|m12000|12000|lame -b 24 -m m|1"
    "l3m25_cbr16_8m|m8000|8000|lame -b 16 -m m|1"
    "l2_192_48|n48000|48000|twolame -b 192 -m s|2"
    "l2_256_44|n44|44100|twolame -b 256 -m j|1"
    "l2_128_32|n32000|32000|twolame -b 128 -m j|1"
    "l2_384_48|n48000|48000|twolame -b 384 -m s|1"
    "l2_crc224_48|n48000|48000|twolame -p -b 224 -m s|1"
    "l2m2_80_24|n24000|24000|twolame -b 80 -m s|1"
    "l2m2_64_16m|m16000|16000|twolame -b 64 -m m|1"
)

packets() {
    ffprobe -v error -count_packets -select_streams a:0 -show_entries stream=nb_read_packets \
        -of default=nw=1:nk=1 "$1"
}

# Frame counts come from the repo's small independent walker
# (tests/data/walk_frames.py, which knows nothing of framelint), checked
# against ffprobe.  ffprobe alone is not enough: it leaves a Xing/Info frame
# out of its packet count, and on twolame's unpadded 44.1 and 32 kHz Layer II
# streams it counts 2 packets fewer than there are frames.
walker=$here/../tests/data/walk_frames.py
[[ -f $walker ]] && command -v python3 >/dev/null || walker=
[[ -n $walker ]] || say "tests/data/walk_frames.py not found: frame counts from ffprobe alone"
walk_frames() {  # walk_frames FILE -> frames; the walk must end exactly at the end of the file
    local row
    row=$(python3 "$walker" --tsv "$1")
    [[ $(cut -f9 <<<"$row") == "$(fsize "$1")" && $(cut -f10 <<<"$row") == 0 ]] ||
        die "walk_frames.py does not walk $1 to its end: $row"
    cut -f7 <<<"$row"
}

# encode NAME WAV DIR ENCODER ARGS... -> DIR/NAME.mp3 (as the encoder writes it:
# lame puts an Info/Xing frame first) and DIR/NAME.raw.mp3 (no such frame, safe
# to repeat back to back); DIR/NAME.frames and NAME.rawframes hold their frame
# counts.
encode() {
    local name=$1 wav=$2 dir=$3
    shift 3
    local enc=$1
    shift
    if [[ $enc == lame ]]; then
        lame --quiet "$@" "$wav" "$dir/$name.mp3"
        lame --quiet -t "$@" "$wav" "$dir/$name.raw.mp3"
    else
        twolame --quiet "$@" "$wav" "$dir/$name.mp3"
        cp "$dir/$name.mp3" "$dir/$name.raw.mp3"
    fi
    # ffprobe's view: the raw file's packets, one more for the other if longer.
    local raw full
    raw=$(packets "$dir/$name.raw.mp3")
    full=$raw
    [[ $(fsize "$dir/$name.mp3") != $(fsize "$dir/$name.raw.mp3") ]] && full=$((raw + 1))
    if [[ -n $walker ]]; then
        local wraw wfull
        wraw=$(walk_frames "$dir/$name.raw.mp3")
        wfull=$(walk_frames "$dir/$name.mp3")
        if [[ $wraw != "$raw" || $wfull != "$full" ]]; then
            echo "$name: walker $wfull/$wraw frames, ffprobe $full/$raw (with/without Info frame)" \
                >>"$BENCH_DIR/count_notes.txt"
        fi
        raw=$wraw
        full=$wfull
    fi
    echo "$raw" >"$dir/$name.rawframes"
    echo "$full" >"$dir/$name.frames"
}

say "encoding ${#formats[@]} clips"
for f in "${formats[@]}"; do
    IFS='|' read -r name sig rate cmd _ <<<"$f"
    # shellcheck disable=SC2086
    encode "$name" "$W/$sig.wav" "$W/clip" $cmd
    got=$(ffprobe -v error -select_streams a:0 -show_entries stream=sample_rate -of default=nw=1:nk=1 \
        "$W/clip/$name.mp3")
    [[ $got == "$rate" ]] || die "$name came out at $got Hz, not $rate Hz"
done

# ---- tags, written by real tag writers onto a short file and cut off it ------
say "writing tags"
sox -R -D "$W/n44.wav" "$W/short.wav" trim 0 1
lame --quiet -b 128 "$W/short.wav" "$W/short.mp3"
id3v2_total() {  # whole size of the ID3v2 tag at the start of $1
    local b
    read -r -a b < <(head -c 10 "$1" | od -An -tu1)
    [[ ${b[0]} == 73 && ${b[1]} == 68 && ${b[2]} == 51 ]] || die "$1 has no ID3v2 tag"
    local size=$(((b[6] << 21) | (b[7] << 14) | (b[8] << 7) | b[9]))
    local footer=0
    ((b[5] & 0x10)) && footer=10
    echo $((10 + size + footer))
}
# ID3v2.3 by id3v2 (id3lib pads it).
cp "$W/short.mp3" "$W/tag.mp3"
id3v2 -2 -t "Benchmark Title" -a "Benchmark Artist" -A "Benchmark Album" -y 2020 -T 4 "$W/tag.mp3" >/dev/null
head -c "$(id3v2_total "$W/tag.mp3")" "$W/tag.mp3" >"$W/v23.tag"
# ID3v2.4 by eyeD3, with a real JPEG as cover art (about 34 KB).
ffmpeg -nostdin -v error -f lavfi -i testsrc=size=600x600:duration=1 -frames:v 1 -y "$W/cover.jpg"
cp "$W/short.mp3" "$W/tag.mp3"
eyeD3 -Q --no-color --to-v2.4 -t "Benchmark Title" -a "Benchmark Artist" -A "Album" -n 7 \
    --add-image "$W/cover.jpg:FRONT_COVER" "$W/tag.mp3" >/dev/null 2>&1
head -c "$(id3v2_total "$W/tag.mp3")" "$W/tag.mp3" >"$W/v24cover.tag"
# ID3v1.1 by id3v2.
cp "$W/short.mp3" "$W/tag.mp3"
id3v2 -1 -t "Benchmark Title" -a "Benchmark Artist" -A "Benchmark Album" -y 2020 -T 9 "$W/tag.mp3" >/dev/null
tail -c 128 "$W/tag.mp3" >"$W/v1.tag"
[[ $(head -c 3 "$W/v1.tag") == TAG ]] || die "id3v2 -1 wrote no ID3v1 tag"
# Repeatable noise for the damaged files.
sox -R -n -t raw -r 8000 -c 1 -b 8 -e unsigned "$W/noise.bin" synth 0.5 whitenoise
head -c 65536 /dev/zero >"$W/zeros.bin"

manifest=$BENCH_DIR/MANIFEST.tsv
printf 'set\tfile\tbytes\tframes\tformat\tid3v2\tid3v1\n' >"$manifest"

tag_label() {  # the manifest's words for a tag blob
    case $1 in
    v23) echo 2.3 ;;
    v24cover) echo 2.4+cover ;;
    v1) echo 1.1 ;;
    *) echo - ;;
    esac
}

# lame's Info/Xing frame at the front describes one clip: its frame and byte
# counts, and the LAME tag's music length and music CRC (of the audio after the
# frame) and tag CRC.  fix_info_frame.py rewrites those fields so that they
# describe the whole file, as in a file encoded in one go; then `framelint -c`
# verifies every audio byte of it, as it does on real lame files.  The size
# stays.
fix_info_frame() {
    local before
    before=$(fsize "$1")
    python3 "$here/fix_info_frame.py" "$1" || die "fix_info_frame.py failed on $1"
    [[ $(fsize "$1") == "$before" ]] || die "fix_info_frame.py changed the size of $1"
}

# assemble OUT FORMAT DIR COPIES V2TAG V1TAG [SPLICE_AFTER SPLICE_FILE]
# = [ID3v2] + clip (Info frame first) + COPIES x raw clip + [ID3v1]
assemble() {
    local out=$1 name=$2 dir=$3 copies=$4 v2=$5 v1=$6 splice_at=${7:--1} splice=${8:-}
    local parts=()
    [[ $v2 != - ]] && parts+=("$W/$v2.tag")
    parts+=("$dir/$name.mp3")
    local i
    for ((i = 0; i < copies; i++)); do
        ((i == splice_at)) && parts+=("$splice")
        parts+=("$dir/$name.raw.mp3")
    done
    [[ $v1 != - ]] && parts+=("$W/v1.tag")
    cat "${parts[@]}" >"$out"
    echo $(($(cat "$dir/$name.frames") + copies * $(cat "$dir/$name.rawframes")))
}

# ---- main corpus -----------------------------------------------------------------
say "assembling the main corpus (~$BENCH_SIZE_MB MiB)"
weighted=()
for f in "${formats[@]}"; do
    IFS='|' read -r name _ _ _ weight <<<"$f"
    for ((k = 0; k < weight; k++)); do weighted+=("$name"); done
done
# Spread each format's repeats over the list (a fixed stride through it).
order=()
n=${#weighted[@]}
for ((k = 0; k < n; k++)); do order+=("${weighted[$(((k * 7) % n))]}"); done

target=$((BENCH_SIZE_MB * 1024 * 1024))
total=0
j=0
MiB=$((1024 * 1024))
while ((total < target)); do
    name=${order[$((j % n))]}
    size=$(((3 + (j * 5) % 8) * MiB))  # 3..10 MiB
    ((size > target - total + MiB)) && size=$((target - total + MiB))
    ((size < 3 * MiB)) && size=$((3 * MiB))
    clip=$(fsize "$W/clip/$name.raw.mp3")
    copies=$(((size - $(fsize "$W/clip/$name.mp3") + clip - 1) / clip))
    ((copies < 1)) && copies=1
    v2=-
    v1=-
    ((j % 4 == 1)) && v2=v23
    ((j % 6 == 3)) && v2=v24cover
    ((j % 3 == 2)) && v1=v1
    out=$(printf '%s/big/b%03d_%s.mp3' "$BENCH_DIR" "$j" "$name")
    frames=$(assemble "$out" "$name" "$W/clip" "$copies" "$v2" "$v1")
    [[ $name == l3* ]] && fix_info_frame "$out"
    printf 'big\t%s\t%s\t%s\t%s\t%s\t%s\n' "$(basename "$out")" "$(fsize "$out")" "$frames" "$name" \
        "$(tag_label "$v2")" "$(tag_label "$v1")" >>"$manifest"
    total=$((total + $(fsize "$out")))
    j=$((j + 1))
done

# Three damaged files, as found in real collections.  Their frame counts are
# left to the reference outputs ("-" here).  The lame ones are damaged after
# their Info frame has been made to describe the whole file, so that what
# `framelint -c` finds in them is the damage (and not only a stale header).
dmg() {
    local out=$BENCH_DIR/big/$1
    printf 'big\t%s\t%s\t-\t%s\t-\t-\n' "$1" "$(fsize "$out")" "$2" >>"$manifest"
    total=$((total + $(fsize "$out")))
}
assemble "$W/dmg.tmp" l3_v2_44 "$W/clip" 6 - - >/dev/null
fix_info_frame "$W/dmg.tmp"
head -c $(($(fsize "$W/dmg.tmp") - 777)) "$W/dmg.tmp" >"$BENCH_DIR/big/dmg_cut_short.mp3"
dmg dmg_cut_short.mp3 "l3_v2_44, last 777 bytes cut off"
# The noise goes in after the clip and 3 raw copies of it, between two frames.
assemble "$W/dmg.tmp" l3_cbr128_44 "$W/clip" 8 - - >/dev/null
fix_info_frame "$W/dmg.tmp"
at=$(($(fsize "$W/clip/l3_cbr128_44.mp3") + 3 * $(fsize "$W/clip/l3_cbr128_44.raw.mp3")))
{ head -c "$at" "$W/dmg.tmp"; cat "$W/noise.bin"; tail -c +$((at + 1)) "$W/dmg.tmp"; } >"$BENCH_DIR/big/dmg_noise.mp3"
rm -f "$W/dmg.tmp"
dmg dmg_noise.mp3 "l3_cbr128_44, 4000 bytes of noise after the 3rd copy"
assemble "$BENCH_DIR/big/dmg_zeros.mp3" l2_192_48 "$W/clip" 8 - - 5 "$W/zeros.bin" >/dev/null
dmg dmg_zeros.mp3 "l2_192_48, 64 KiB of zeros after the 5th copy"

# ---- the long file -----------------------------------------------------------------
say "assembling the long file (~$BENCH_LONG_MB MiB)"
clip=$(fsize "$W/clip/l3_v2_44.raw.mp3")
copies=$(((BENCH_LONG_MB * MiB - $(fsize "$W/clip/l3_v2_44.mp3")) / clip))
frames=$(assemble "$BENCH_DIR/long/long_v2.mp3" l3_v2_44 "$W/clip" "$copies" - -)
fix_info_frame "$BENCH_DIR/long/long_v2.mp3"
printf 'long\tlong_v2.mp3\t%s\t%s\tl3_v2_44\t-\t-\n' "$(fsize "$BENCH_DIR/long/long_v2.mp3")" "$frames" >>"$manifest"

# ---- tiny corpus ----------------------------------------------------------------
# Whole short encodes of 0.1-1.9 s; those that come out at 2-20 KB are kept.
say "encoding clips for $BENCH_TINY_COUNT tiny files"
tiny_formats=(
    "n44|lame -b 128" "n44|lame -b 192" "n44|lame -V 2" "t44|lame -V 5" "n44|lame -b 320"
    "n22050|lame -b 64" "m16000|lame -b 32 -m m" "n11025|lame -b 32"
    "n48000|twolame -b 192 -m s" "m16000|twolame -b 64 -m m"
)
tiny_clips=()
for ((fi = 0; fi < ${#tiny_formats[@]}; fi++)); do
    IFS='|' read -r sig cmd <<<"${tiny_formats[$fi]}"
    for d in 0.1 0.15 0.25 0.4 0.6 0.8 1.0 1.3 1.6 1.9; do
        name=t${fi}_${d/./_}
        sox -R -D "$W/$sig.wav" "$W/tiny/$name.wav" trim 0.5 "$d"
        # shellcheck disable=SC2086
        encode "$name" "$W/tiny/$name.wav" "$W/tiny" $cmd
        s=$(fsize "$W/tiny/$name.mp3")
        if ((s >= 2000 && s <= 20000)); then tiny_clips+=("$name"); fi
    done
done
((${#tiny_clips[@]} > 0)) || die "no tiny clip in range"
say "${#tiny_clips[@]} distinct tiny clips"
nt=${#tiny_clips[@]}
for ((i = 0; i < BENCH_TINY_COUNT; i++)); do
    name=${tiny_clips[$(((i * 13) % nt))]}
    v2=-
    v1=-
    ((i % 7 == 3)) && v2=v23
    ((i % 5 == 1)) && v1=v1
    out=$(printf '%s/tiny/t%04d.mp3' "$BENCH_DIR" "$i")
    frames=$(assemble "$out" "$name" "$W/tiny" 0 "$v2" "$v1")
    printf 'tiny\t%s\t%s\t%s\t%s\t%s\t%s\n' "$(basename "$out")" "$(fsize "$out")" "$frames" "$name" \
        "$(tag_label "$v2")" "$(tag_label "$v1")" >>"$manifest"
done

rm -rf "$W"
echo "$stamp_text" >"$BENCH_DIR/corpus.stamp"
big_n=$(find "$BENCH_DIR/big" -name '*.mp3' | wc -l)
tiny_bytes=$(awk -F'\t' '$1 == "tiny" { s += $3 } END { print s }' "$manifest")
say "done in $((SECONDS - started)) s: $big_n files / $((total / MiB)) MiB in big/, $BENCH_TINY_COUNT files / $((tiny_bytes / 1024)) KiB in tiny/, long/long_v2.mp3"
