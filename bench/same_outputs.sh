#!/usr/bin/env bash
# Two builds of framelint, run on the same files under the same switches, must
# print the same: standard output, standard error and exit status, compared
# byte for byte (the CPU-time lines aside, which differ from run to run).
# Made for changes that move code without changing what it does: build the
# commit before the change as the reference, then
#
#   bash bench/same_outputs.sh REFERENCE_BINARY NEW_BINARY [FILE_OR_DIR...]
#
# (default: tests/data and fuzz/regressions). Prints each difference and a
# count; the status is 1 when any run differs.
set -uo pipefail
[ $# -ge 2 ] || { sed -n '2,11p' "$0" >&2; exit 2; }
ref=$(realpath "$1") new=$(realpath "$2")
shift 2
here=$(cd "$(dirname "$0")/.." && pwd)
[ $# -gt 0 ] || set -- "$here/tests/data" "$here/fuzz/regressions"

switch_sets=("" "-c" "-c --json" "-c -p" "--summary" "-v" "-vv" "-e" "-s" "-sf")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

run() {  # BINARY NAME SWITCHES FILE: output in $work/NAME.{out,err,rc}
    (cd "$work" && timeout 60 "$1" $3 "$4" >"$2.out" 2>"$2.err"; echo $? >"$2.rc")
    sed -i -e '/^USER_TIME/d' -e '/^SYS_TIME/d' "$work/$2.out" "$work/$2.err"
}

runs=0 differences=0
while IFS= read -r -d '' file; do
    for switches in "${switch_sets[@]}"; do
        run "$ref" ref "$switches" "$file"
        run "$new" new "$switches" "$file"
        runs=$((runs + 1))
        for part in out err rc; do
            if ! cmp -s "$work/ref.$part" "$work/new.$part"; then
                echo "differs: framelint $switches $file ($part)"
                differences=$((differences + 1))
            fi
        done
    done
done < <(find "$@" -type f -print0 | sort -z)

echo "$runs runs, $differences differences"
[ "$differences" -eq 0 ]
