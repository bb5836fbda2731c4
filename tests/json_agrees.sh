#!/usr/bin/env bash
# Every --json line over the fixtures, and over damaged copies of them, parses
# with jq and agrees with the -p line of the same file on every shared field,
# with and without -c.
# With -r over a tree of those files, it checks exactly what find lists.
#
# usage: tests/json_agrees.sh FRAMELINT DATA_DIR     (exit 77: jq is missing)
set -euo pipefail
framelint=$1
data=$2
command -v jq >/dev/null || { echo "jq not found: skipped"; exit 77; }

work=$(mktemp -d "${TMPDIR:-/tmp}/framelint-json.XXXXXX")
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/tree/damaged" "$work/tree/Sub Dir"
cp "$data"/*.mp[23] "$work/tree/"
cp -r "$data" "$work/tree/data"  # the damaged fixtures, and files that are no audio at all
for f in "$data"/*.mp[23]; do
    name=$(basename "$f")
    size=$(stat -c %s "$f")
    head -c $((size * 6 / 10)) "$f" >"$work/tree/damaged/cut_$name"              # cut short
    { head -c 3000 "$f"; printf 'junk\377\373'; tail -c +3001 "$f"; } >"$work/tree/damaged/junk_$name"
    { head -c 2000 "$f"; tail -c +2101 "$f"; } >"$work/tree/damaged/gap_$name"  # bytes missing
    { printf 'lead'; cat "$f"; } >"$work/tree/damaged/lead_$name"               # junk before the first frame
done
cp "$data/lame_vbr.mp3" "$work/tree/Sub Dir/tab	name \"q\" \\.MP3"
: >"$work/tree/damaged/empty.mpga"
head -c 5000 /dev/urandom >"$work/tree/damaged/noise.mpa"

failures=0
checked=0
# The -p fields, as JSON, for one file; $1 is "" or -c.
p_fields() {
    "$framelint" $1 -p "$2" 2>/dev/null | grep -a '^FILE_NAME ' | tr '\t' '\n' | sed -n 's/^\([A-Z_]*\) *\(.*\)$/\1\t\2/p' |
        jq -R -s -c 'split("\n") | map(select(length > 0) | split("\t") | {(.[0]): .[1]}) | add'
}
while IFS= read -r -d '' f; do
    case $f in *'	'*) continue ;; esac  # the -p line cannot carry a tab in a name
    for c in "" -c; do
        line=$("$framelint" $c --json "$f" 2>/dev/null) || true
        if ! jq -e . >/dev/null 2>&1 <<<"$line"; then
            echo "FAIL: not JSON for $f: $line" >&2
            failures=$((failures + 1))
            continue
        fi
        # Every field the -p line has, under its snake-case name, must be equal.
        diff=$(jq -n -c --argjson p "$(p_fields "$c" "$f")" --argjson j "$line" '
            {FILE_NAME: "file", GOOD_FRAMES: "good_frames", BAD_FRAMES: "bad_frames",
             LAST_BYTE_CHECKED: "bytes_read", VBR_HIGH: "vbr_high", VBR_LOW: "vbr_low",
             VBR_AVERAGE: "vbr_average", SONG_LENGTH: "song_length", INTEGRITY: "integrity"} as $names
            | [($p | keys[]) as $k
               | select(($names[$k] // "missing") as $n | ($j[$n] | tostring) != $p[$k])
               | {field: $k, p: $p[$k], json: $j[$names[$k] // "missing"]}]
            + [($names | to_entries[]) | select(($p[.key] == null) != ($j[.value] == null))
               | {field: .key, only_in: (if $p[.key] == null then "json" else "p" end)}]')
        if [ "$diff" != "[]" ]; then
            echo "FAIL: $c $f: $diff" >&2
            failures=$((failures + 1))
        fi
        checked=$((checked + 1))
    done
done < <(find "$work/tree" -type f -print0)

# -r checks exactly what find lists with those extensions, and every line parses.
expected=$(find "$work/tree" -xtype f \( -iname '*.mp3' -o -iname '*.mp2' -o -iname '*.mp1' -o -iname '*.mpa' \
    -o -iname '*.mpga' \) -print0 | sort -z | base64 -w0)
walked=$("$framelint" -r --json "$work/tree" 2>/dev/null | jq -j '.file + "\u0000"' | sort -z | base64 -w0) || true
if [ "$expected" != "$walked" ]; then
    echo "FAIL: -r checked other files than find lists" >&2
    failures=$((failures + 1))
fi

echo "$checked runs compared, $failures failures"
[ "$failures" -eq 0 ]
