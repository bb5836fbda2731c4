#!/usr/bin/env bash
# Installs, from Debian's packages, what building framelint needs and this
# machine lacks: pkg-config, SQLite and xxHash (the record of a collection and
# its audio hash). With --tests, also what the tests use: GoogleTest, and the
# encoders, taggers and tools the tests run (lame, ffprobe, jq, beets, setfacl,
# setfattr, python3). Nothing is installed when nothing is missing; as a user
# other than root it asks sudo.
set -euo pipefail

need=()
command -v pkg-config >/dev/null || need+=(pkg-config)
[ -e /usr/include/sqlite3.h ] || need+=(libsqlite3-dev)
[ -e /usr/include/xxhash.h ] || need+=(libxxhash-dev)
if [ "${1:-}" = --tests ]; then
  [ -e /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
  command -v jq >/dev/null || need+=(jq)          # the --json check parses every line
  command -v beet >/dev/null || need+=(beets)     # a real client of --summary: its badfiles plugin
  command -v python3 >/dev/null || need+=(python3)  # the terminal tests run through a pseudo-terminal
  command -v lame >/dev/null || need+=(lame)      # the --summary lines are tried on real encoder output
  command -v ffprobe >/dev/null || need+=(ffmpeg) # a player's view of a repaired file's length
  command -v setfacl >/dev/null || need+=(acl)    # --fix keeps ACL entries
  command -v setfattr >/dev/null || need+=(attr)  # --fix keeps extended attributes
fi
[ ${#need[@]} -eq 0 ] && exit 0

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
echo "install-deps: installing ${need[*]}" >&2
"${as_root[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq "${need[@]}"
