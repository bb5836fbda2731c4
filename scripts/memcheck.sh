#!/usr/bin/env bash
# Runs framelint under valgrind's memcheck over every committed fixture in every
# mode (and on standard input); fails on any memory error or leak.
# Usage: scripts/memcheck.sh BUILD_DIR
set -euo pipefail
build=${1:?usage: scripts/memcheck.sh BUILD_DIR}
here=$(cd "$(dirname "$0")/.." && pwd)
binary=$build/framelint
command -v valgrind >/dev/null || { echo "memcheck: valgrind is not installed; skipped"; exit 0; }
fixtures=("$here"/tests/data/*.mp3 "$here"/tests/data/*.mp2 "$here"/tests/data/integrity/*.mp[23])
modes=("" "-p" "-a -v" "-a -vv" "-e" "-i -a -v" "-s" "-sf" "-sf -i" "-ss" "-ss -sf -i" "-b" "-b5000" "-q3"
       "--json -i -e -q3" "--json -a -vv" "-c" "-c -p -i" "-c -sf -i" "-c -b5000" "--summary=all,offsets -e -q3")
failed=0
run() {
  local status=0
  valgrind --tool=memcheck --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect \
    --quiet "$binary" "$@" >/dev/null 2>/tmp/framelint-memcheck.$$ || status=$?
  if [ "$status" = 99 ]; then
    echo "memcheck: errors in: framelint $*"; cat /tmp/framelint-memcheck.$$; failed=1
  fi
  rm -f /tmp/framelint-memcheck.$$
}
for mode in "${modes[@]}"; do
  # shellcheck disable=SC2086
  run $mode "${fixtures[@]}"
  # shellcheck disable=SC2086
  run $mode - < "${fixtures[0]}"
done
run -r --json "$here/tests"  # the directory walk
if [ "$failed" = 0 ]; then echo "memcheck: ${#modes[@]} modes over ${#fixtures[@]} fixtures and standard input: clean"; fi
exit "$failed"
