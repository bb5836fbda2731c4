#!/usr/bin/env bash
# Large-stream check: framelint -p on a stream of more than 2^31 bytes made of
# real lame frames must report every frame as good, none as bad, and the whole
# byte count as checked.
#
#   bash bench/large_file_check.sh [FRAMELINT]
#
# FRAMELINT: the binary to check (default: $FRAMELINT, else build-bench/framelint
# in the repo).  Exit 0 when every variant that ran passed, 1 otherwise.
#
# Two variants:
#   pipe  the stream goes through a pipe to `framelint -p -` (no disk needed)
#   file  the stream is written to a temporary file, checked with
#         `framelint -p FILE`, then removed; skipped, with a message, when the
#         temporary folder has less than the stream size + 1 GiB free
#
# Environment (optional):
#   LARGE_CHECK_MB       stream size in MiB, at least 2049  (default 2200)
#   LARGE_CHECK_VARIANTS "pipe file" (default), "pipe" or "file"
#   LARGE_CHECK_RSS_KIB  the most peak resident memory any mode may use on the
#                        file variant (default 8192)
#   TMPDIR               where the clip and the file variant go (default /tmp)
#
# Needs: sox, lame, ffprobe (ffmpeg).  The clip is a 10 s lame CBR 320 kbit/s
# encode with no Info frame (lame -t) and no tags, so copies of it follow each
# other as one clean stream; ffprobe, not framelint, says how many frames it has.
set -euo pipefail
export LC_ALL=C

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
FL=${1:-${FRAMELINT:-$here/../build-bench/framelint}}
[[ $FL == /* ]] || FL=$PWD/$FL  # the checks run in a temporary folder
LARGE_CHECK_MB=${LARGE_CHECK_MB:-2200}
LARGE_CHECK_VARIANTS=${LARGE_CHECK_VARIANTS:-pipe file}
LARGE_CHECK_RSS_KIB=${LARGE_CHECK_RSS_KIB:-8192}

say() { printf 'large_file_check: %s\n' "$*" >&2; }
[[ -x $FL ]] || { say "no framelint binary at $FL"; exit 1; }
for tool in sox lame ffprobe; do
    command -v "$tool" >/dev/null || { say "$tool not found (apt-get install -y sox lame ffmpeg)"; exit 1; }
done
((LARGE_CHECK_MB > 2048)) || { say "LARGE_CHECK_MB must be over 2048 (2^31 bytes)"; exit 1; }

tmp=$(mktemp -d "${TMPDIR:-/tmp}/framelint-large.XXXXXX")
cleanup() { rm -rf "$tmp"; }
trap cleanup EXIT
trap 'exit 1' INT TERM

# ---- one clean clip, then a chunk of copies of it ----------------------------------
sox -R -D -n -r 44100 -c 2 -b 16 "$tmp/clip.wav" synth 10 pinknoise pinknoise \
    synth 10 pluck mix 220 pluck mix 330 gain -4
lame --quiet -t -b 320 "$tmp/clip.wav" "$tmp/clip.mp3"
rm -f "$tmp/clip.wav"
clip_frames=$(ffprobe -v error -count_packets -select_streams a:0 -show_entries stream=nb_read_packets \
    -of default=nw=1:nk=1 "$tmp/clip.mp3")
clip_bytes=$(stat -c %s "$tmp/clip.mp3")
per_chunk=64
for ((i = 0; i < per_chunk; i++)); do cat "$tmp/clip.mp3"; done >"$tmp/chunk.mp3"
chunk_bytes=$((clip_bytes * per_chunk))
chunks=$(((LARGE_CHECK_MB * 1024 * 1024 + chunk_bytes - 1) / chunk_bytes))
total_bytes=$((chunk_bytes * chunks))
total_frames=$((clip_frames * per_chunk * chunks))
((total_bytes > 2147483648)) || { say "internal error: stream not over 2^31 bytes"; exit 1; }
say "stream: $chunks x $per_chunk copies of a $clip_bytes-byte clip of $clip_frames frames"
say "        = $total_bytes bytes ($((total_bytes / 1048576)) MiB), $total_frames frames"

stream() {
    local i
    for ((i = 0; i < chunks; i++)); do cat "$tmp/chunk.mp3"; done
}

failures=0
# verify LABEL FILE_NAME OUTPUT_FILE EXIT_STATUS
verify() {
    local label=$1 want_name=$2 out=$3 status=$4 line name good bad last
    line=$(grep -m1 '^FILE_NAME ' "$out" || true)
    name=$(printf '%s\n' "$line" | awk -F'\t' '{ print substr($1, 11) }')
    good=$(printf '%s\n' "$line" | awk -F'\t' '{ for (i = 2; i <= NF; i++) { split($i, kv, " "); if (kv[1] == "GOOD_FRAMES") print kv[2] } }')
    bad=$(printf '%s\n' "$line" | awk -F'\t' '{ for (i = 2; i <= NF; i++) { split($i, kv, " "); if (kv[1] == "BAD_FRAMES") print kv[2] } }')
    last=$(printf '%s\n' "$line" | awk -F'\t' '{ for (i = 2; i <= NF; i++) { split($i, kv, " "); if (kv[1] == "LAST_BYTE_CHECKED") print kv[2] } }')
    local ok=1
    [[ $name == "$want_name" ]] || { say "$label: FILE_NAME '$name', expected '$want_name'"; ok=0; }
    [[ $good == "$total_frames" ]] || { say "$label: GOOD_FRAMES '$good', expected $total_frames"; ok=0; }
    [[ $bad == 0 ]] || { say "$label: BAD_FRAMES '$bad', expected 0"; ok=0; }
    [[ $last == "$total_bytes" ]] || { say "$label: LAST_BYTE_CHECKED '$last', expected $total_bytes"; ok=0; }
    [[ $status == 0 ]] || { say "$label: exit status $status, expected 0"; ok=0; }
    if ((ok)); then
        say "$label: PASS  ($(printf '%s' "$line" | tr '\t' ' '))"
    else
        say "$label: FAIL; framelint said:"
        head -c 2000 "$out" >&2
        failures=$((failures + 1))
    fi
}

for variant in $LARGE_CHECK_VARIANTS; do
    case $variant in
    pipe)
        start=$(date +%s.%N)
        set +e
        stream | "$FL" -p - >"$tmp/pipe.out" 2>"$tmp/pipe.err"
        status=${PIPESTATUS[1]}
        set -e
        end=$(date +%s.%N)
        say "pipe: framelint -p - took $(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1f", b - a }') s"
        [[ -s $tmp/pipe.err ]] && { say "pipe: standard error:"; head -c 2000 "$tmp/pipe.err" >&2; }
        verify pipe stdin "$tmp/pipe.out" "$status"
        ;;
    file)
        free_kib=$(df -Pk "$tmp" | awk 'NR == 2 { print $4 }')
        need_kib=$((total_bytes / 1024 + 1024 * 1024))
        if ((free_kib < need_kib)); then
            say "file: SKIPPED: $((free_kib / 1024)) MiB free in $tmp, need $((need_kib / 1024)) MiB"
            continue
        fi
        start=$(date +%s.%N)
        stream >"$tmp/large.mp3"
        mid=$(date +%s.%N)
        size=$(stat -c %s "$tmp/large.mp3")
        [[ $size == "$total_bytes" ]] || { say "file: wrote $size bytes, expected $total_bytes"; exit 1; }
        set +e
        (cd "$tmp" && "$FL" -p large.mp3) >"$tmp/file.out" 2>"$tmp/file.err"
        status=$?
        set -e
        end=$(date +%s.%N)
        say "file: writing took $(awk -v a="$start" -v b="$mid" 'BEGIN { printf "%.1f", b - a }') s," \
            "framelint -p FILE took $(awk -v a="$mid" -v b="$end" 'BEGIN { printf "%.1f", b - a }') s"
        [[ -s $tmp/file.err ]] && { say "file: standard error:"; head -c 2000 "$tmp/file.err" >&2; }
        verify file large.mp3 "$tmp/file.out" "$status"
        # Peak resident memory in every mode: mapped windows count in it, and
        # must not grow with the file.
        if [[ -x /usr/bin/time ]]; then
            for mode in "" "-s" "-sf" "-i -a" "-c"; do
                # shellcheck disable=SC2086 # the mode is split on purpose
                (cd "$tmp" && /usr/bin/time -f %M -o "$tmp/rss" "$FL" $mode large.mp3 >/dev/null 2>&1) || true
                kib=$(tail -1 "$tmp/rss")
                if ((kib > LARGE_CHECK_RSS_KIB)); then
                    say "file: framelint ${mode:-(default)}: peak RSS $((kib / 1024)) MiB, over $((LARGE_CHECK_RSS_KIB / 1024)) MiB: FAIL"
                    failures=$((failures + 1))
                else
                    say "file: framelint ${mode:-(default)}: peak RSS ${kib} KiB"
                fi
            done
            kib=$( (cd "$tmp" && /usr/bin/time -f %M "$FL" - <large.mp3 2>&1 >/dev/null) | tail -1)
            say "file: framelint - < FILE: peak RSS ${kib} KiB"
        fi
        rm -f "$tmp/large.mp3"
        ;;
    *)
        say "unknown variant '$variant'"
        exit 1
        ;;
    esac
done

if ((failures > 0)); then
    say "$failures variant(s) FAILED"
    exit 1
fi
say "all variants passed"
exit 0
