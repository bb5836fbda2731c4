#!/usr/bin/env bash
# The beets music manager as a client: its badfiles plugin, with framelint
# --summary as the MP3 checker, runs the checker on every file of a small
# library and must name exactly the damaged ones.
#
# usage: tests/beets_check.sh FRAMELINT DATA_DIR     (exit 77: beet is missing)
set -euo pipefail
framelint=$1
data=$2
command -v beet >/dev/null || { echo "beet not found: skipped"; exit 77; }

work=$(mktemp -d "${TMPDIR:-/tmp}/framelint-beets.XXXXXX")
trap 'rm -rf "$work"' EXIT
export BEETSDIR=$work/beets HOME=$work  # beets keeps its state and library here, not in the user's
mkdir -p "$BEETSDIR" "$work/music/clean" "$work/music/damaged" "$work/music/no_audio"

cp "$data/lame_cbr128.mp3" "$data/lame_vbr.mp3" "$data/tag_v23.mp3" "$data/tag_both.mp3" "$work/music/clean/"
for f in cut_60 bitrot junk_after_end last_frame_cut_by_v1; do
    cp "$data/integrity/$f.mp3" "$work/music/damaged/"
done
head -c 9000 "$data/lame_cbr128.mp3" >"$work/music/damaged/cut_download.mp3"
# Files beets cannot read never reach its library, so it never hands them over.
printf '<html><body>Not found</body></html>\n' >"$work/music/no_audio/page.mp3"
: >"$work/music/no_audio/empty.mp3"

cat >"$BEETSDIR/config.yaml" <<CONFIG
directory: $work/library
library: $work/library.db
plugins: badfiles
ui:
    color: no
import:
    copy: no
    write: no
    autotag: no
    quiet: yes
badfiles:
    commands:
        mp3: $framelint --summary
CONFIG

beet import "$work/music/clean" "$work/music/damaged" "$work/music/no_audio" >"$work/import.log" 2>&1 || { cat "$work/import.log"; exit 1; }
imported=$(beet ls -p | wc -l)
if [ "$imported" -ne 9 ]; then
    echo "beets imported $imported files, not 9:"; beet ls -p; cat "$work/import.log"; exit 1
fi

beet bad >"$work/bad.log" 2>&1 || true
# Each damaged file once, with the status framelint gives a damaged file.
named=$(sed -n 's/^\(.*\): checker exited with status 255$/\1/p' "$work/bad.log" | sort)
expected=$(ls "$work"/music/damaged/* | sort)
if [ "$named" != "$expected" ]; then
    echo "beet bad named:"; echo "$named"; echo "expected:"; echo "$expected"; echo "its output:"; cat "$work/bad.log"
    exit 1
fi
# And what framelint said about each, in words, under its name.
for f in $expected; do
    grep -qF "  $f: DAMAGED: " "$work/bad.log" || { echo "no words for $f:"; cat "$work/bad.log"; exit 1; }
done
if grep -q "/clean/\|/no_audio/" "$work/bad.log"; then
    echo "a clean file was named:"; cat "$work/bad.log"; exit 1
fi
echo "beet bad named exactly the $(echo "$expected" | wc -l) damaged files"
