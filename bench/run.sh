#!/usr/bin/env bash
# The framelint benchmark: one command.
#
#   bash bench/run.sh
#
# 1. builds framelint in Release (build-bench/, unless FRAMELINT names a binary)
# 2. makes the corpora if missing (bench/make_corpus.sh, outside the repo)
# 3. warms the page cache
# 4. checks outputs: runs every mode once and compares with the reference
#    outputs (under $BENCH_DIR/reference, made on the first run by the untuned
#    commit BENCH_REFERENCE_REVISION); any difference stops the benchmark with
#    exit 1 before anything is timed
# 5. checks framelint's counts against the corpus manifest (reported, not fatal)
# 6. times framelint's modes beside cat, the page-touching probe (touch_pages.c:
#    the floor for anything that looks at every page of a file), mp3val and
#    ffmpeg, each group in one hyperfine run
# 7. peak resident memory (/usr/bin/time -f %M), instruction counts (callgrind)
#    and a profile (perf record), if those tools work here
# 8. prints a markdown table and writes it to bench/results.md
#
# Environment (all optional):
#   BENCH_DIR            corpora, references, raw results  (default /tmp/framelint-bench)
#   BENCH_SIZE_MB, BENCH_TINY_COUNT, BENCH_LONG_MB   passed to make_corpus.sh
#   BENCH_RUNS           timed runs per command per round  (default 10)
#   BENCH_ROUNDS         rounds; each round runs every command of a group (default 3)
#   BENCH_BUILD_DIR      build directory                   (default <repo>/build-bench)
#   FRAMELINT            use this binary instead of building one
#   BENCH_REVISION       build and time this commit instead of the work tree: it is
#                        exported with git archive and built under $BENCH_DIR/rev-<sha>
#   BENCH_RESULTS        where the markdown goes            (default bench/results.md)
#   BENCH_REFERENCE_REVISION  commit whose outputs are the references (default 96b96d6,
#                        the last read-only input); "" = record them from the binary under test
#   BENCH_RESET_REFERENCE=1   record the reference outputs anew (after a deliberate
#                        change of output); otherwise they are never overwritten
#   BENCH_NO_CALLGRIND=1, BENCH_NO_PERF=1   skip those steps
#
# Needs: cmake g++ (and cc for the probe) hyperfine mp3val ffmpeg valgrind time python3, plus what
# make_corpus.sh needs (sox lame twolame id3v2 eyed3).  perf is optional.
set -euo pipefail
export LC_ALL=C TZ=UTC

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/.." && pwd)
BENCH_DIR=${BENCH_DIR:-/tmp/framelint-bench}
BENCH_RUNS=${BENCH_RUNS:-10}
BENCH_ROUNDS=${BENCH_ROUNDS:-3}
BENCH_BUILD_DIR=${BENCH_BUILD_DIR:-$repo/build-bench}
BENCH_RESULTS=${BENCH_RESULTS:-$here/results.md}
export BENCH_DIR

say() { printf 'bench: %s\n' "$*" >&2; }
die() { say "$*"; exit 1; }

for tool in cmake hyperfine mp3val ffmpeg python3 /usr/bin/time; do
    command -v "$tool" >/dev/null ||
        die "$tool not found (apt-get install -y cmake g++ hyperfine mp3val ffmpeg valgrind time python3)"
done

# ---- 1. build -----------------------------------------------------------------
# build_in SRC BUILD: configures (Release) if needed and builds framelint.
build_in() {
    if [[ ! -f $2/CMakeCache.txt ]] || ! grep -q '^CMAKE_BUILD_TYPE:STRING=Release$' "$2/CMakeCache.txt"; then
        say "configuring $2 (Release)"
        cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Release -DFRAMELINT_TESTS=OFF >/dev/null
    fi
    say "building framelint in $2"
    cmake --build "$2" --target framelint -j "$(nproc)" >/dev/null
    [[ -x $2/framelint ]] || die "no framelint binary in $2"
}
# build_revision REV: exports commit REV with git archive into $BENCH_DIR/rev-<sha>
# and builds it there; sets rev_sha and rev_bin.
build_revision() {
    rev_sha=$(git -C "$repo" rev-parse --short "$1^{commit}") || die "no commit $1"
    local src=$BENCH_DIR/rev-$rev_sha/src
    if [[ ! -f $src/CMakeLists.txt ]]; then
        rm -rf "$src"
        mkdir -p "$src"
        git -C "$repo" archive "$rev_sha" | tar -x -C "$src"
    fi
    build_in "$src" "$BENCH_DIR/rev-$rev_sha/build"
    rev_bin=$BENCH_DIR/rev-$rev_sha/build/framelint
}
mkdir -p "$BENCH_DIR"
command_note="bash bench/run.sh"
if [[ -n ${FRAMELINT:-} ]]; then
    FL=$(cd "$(dirname "$FRAMELINT")" && pwd)/$(basename "$FRAMELINT")
    [[ -x $FL ]] || die "no framelint binary at $FL"
    build_note="given as FRAMELINT=$FRAMELINT"
    rev="unknown (FRAMELINT given)"
    command_note="FRAMELINT=$FRAMELINT $command_note"
    BENCH_BUILD_DIR=
elif [[ -n ${BENCH_REVISION:-} ]]; then
    build_revision "$BENCH_REVISION"
    FL=$rev_bin
    rev="$rev_sha (git archive of $BENCH_REVISION)"
    BENCH_BUILD_DIR=$(dirname "$FL")
    command_note="BENCH_REVISION=$BENCH_REVISION $command_note"
else
    build_in "$repo" "$BENCH_BUILD_DIR"
    FL=$BENCH_BUILD_DIR/framelint
    rev=$(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo unknown)
    if [[ -n $(git -C "$repo" status --porcelain -- src CMakeLists.txt cmake 2>/dev/null) ]]; then
        rev="$rev + uncommitted changes in src/"
    fi
fi
if [[ -f ${BENCH_BUILD_DIR:-}/CMakeCache.txt ]]; then
    cxx=$(grep -m1 '^CMAKE_CXX_COMPILER:' "$BENCH_BUILD_DIR/CMakeCache.txt" | cut -d= -f2)
    build_note="Release, $cxx $("$cxx" -dumpfullversion 2>/dev/null || true)"
fi

# The probe: maps each file in 1 MiB windows and reads one byte every 400 (or,
# with -r, reads the files into a 128 KiB buffer and touches the same bytes).
PROBE=$BENCH_DIR/touch_pages
cc -O2 -o "$PROBE" "$here/touch_pages.c" || die "cannot build the probe (cc)"
# Which CRC-16 method the processor allows (framelint picks the fastest of them).
cpu_flags=$(grep -m1 '^flags' /proc/cpuinfo | tr ' ' '\n' | grep -xE 'pclmulqdq|vpclmulqdq|avx2|avx512f' | tr '\n' ' ')

# ---- 2. corpora ---------------------------------------------------------------
bash "$here/make_corpus.sh"
BENCH_DIR=$(cd "$BENCH_DIR" && pwd -P)
R=$BENCH_DIR/results
rm -rf "$R"
mkdir -p "$R"
BIG=$BENCH_DIR/big
TINY=$BENCH_DIR/tiny
LONGD=$BENCH_DIR/long
LONG=long_v2.mp3
mapfile -t big_files < <(cd "$BIG" && ls -- *.mp3)
mapfile -t tiny_files < <(cd "$TINY" && ls -- *.mp3)
FILES="${big_files[*]}"
TINYS="${tiny_files[*]}"
# The one file for ffmpeg: the first untagged lame -V 2 file of the main corpus.
ONE=$(awk -F'\t' '$1 == "big" && $5 == "l3_v2_44" && $6 == "-" && $7 == "-" { print $2; exit }' "$BENCH_DIR/MANIFEST.tsv")
[[ -n $ONE ]] || ONE=${big_files[0]}
# The CRC-protected files of the main corpus (lame -p, twolame -p), timed apart:
# the default check computes a CRC over each of their frame bodies.
mapfile -t crc_files < <(awk -F'\t' '$1 == "big" && $5 ~ /crc/ { print $2 }' "$BENCH_DIR/MANIFEST.tsv")
CRCS="${crc_files[*]}"
main_bytes=$(cd "$BIG" && du -cb -- "${big_files[@]}" | tail -1 | cut -f1)
tiny_bytes=$(cd "$TINY" && du -cb -- "${tiny_files[@]}" | tail -1 | cut -f1)
long_bytes=$(stat -c %s "$LONGD/$LONG")
one_bytes=$(stat -c %s "$BIG/$ONE")
crc_bytes=0
((${#crc_files[@]} > 0)) && crc_bytes=$(cd "$BIG" && du -cb -- "${crc_files[@]}" | tail -1 | cut -f1)

# ---- 3. warm cache ----------------------------------------------------------------
warm() {
    (cd "$BIG" && cat -- "${big_files[@]}" >/dev/null)
    (cd "$TINY" && cat -- "${tiny_files[@]}" >/dev/null)
    cat "$LONGD/$LONG" >/dev/null
}
say "warming the page cache"
warm
warm
cache_note="warmed by reading every file twice"
if command -v fincore >/dev/null; then
    res=$( (cd "$BIG" && fincore -b -n -o RES -- "${big_files[@]}") | awk '{ s += $1 } END { print s + 0 }')
    cache_note="$cache_note; fincore: $((res * 100 / main_bytes))% of the main corpus resident"
fi

# ---- 4. output check against the references ---------------------------------------
# The references are the outputs of BENCH_REFERENCE_REVISION (default: 96b96d6,
# the last commit that read every file instead of mapping it; the untuned scanner,
# 5ba70c3, copied a frame the file ends inside under -sf, which was mended since),
# built from git and run on this corpus the first time; set it to "" to record
# them from the binary under test instead.  They are kept in
# $BENCH_DIR/reference-<revision> and never overwritten unless BENCH_RESET_REFERENCE=1.
BENCH_REFERENCE_REVISION=${BENCH_REFERENCE_REVISION-96b96d6}
REF=$BENCH_DIR/reference-${BENCH_REFERENCE_REVISION:-self}
if [[ ${BENCH_RESET_REFERENCE:-0} == 1 ]]; then
    say "BENCH_RESET_REFERENCE=1: recording the reference outputs anew"
    rm -rf "$REF"
fi
# capture BIN OUTDIR NAME DIR HASH COMMAND: runs COMMAND (a shell string, in which
# $FLBIN is the binary) in DIR and keeps its standard output (minus the
# USER_TIME/SYS_TIME lines, which vary from run to run; or only a sha256 of it
# when HASH=1), standard error and exit status.
capture() {
    local FLBIN=$1 o=$2/$3 dir=$4 hash=$5 cmd=$6
    set +e
    if [[ $hash == 1 ]]; then
        (cd "$dir" && eval "$cmd") 2>"$o.err" | { sha256sum | cut -d' ' -f1; } >"$o.out"
        echo "${PIPESTATUS[0]}" >"$o.rc"
    else
        (cd "$dir" && eval "$cmd") >"$o.raw" 2>"$o.err"
        echo $? >"$o.rc"
        grep -v -E '^(USER|SYS)_TIME ' "$o.raw" >"$o.out"
        rm -f "$o.raw"
    fi
    set -e
    printf '%s\t%s\n' "$dir" "$cmd" >"$o.cmd"
}
capture_all() {  # capture_all BIN OUTDIR
    mkdir -p "$2"
    capture "$1" "$2" default_main "$BIG" 0 "\"\$FLBIN\" $FILES"
    capture "$1" "$2" copy_main "$BIG" 1 "\"\$FLBIN\" -s $FILES"
    capture "$1" "$2" id3_all_main "$BIG" 0 "\"\$FLBIN\" -i -a $FILES"
    capture "$1" "$2" oneline_main "$BIG" 0 "\"\$FLBIN\" -p $FILES"
    capture "$1" "$2" stdin_long "$LONGD" 0 "\"\$FLBIN\" - < $LONG"
    capture "$1" "$2" stdin_damaged "$BIG" 0 "\"\$FLBIN\" -i - < dmg_noise.mp3"
    capture "$1" "$2" default_tiny "$TINY" 0 "\"\$FLBIN\" $TINYS"
    capture "$1" "$2" oneline_tiny "$TINY" 0 "\"\$FLBIN\" -p $TINYS"
    capture "$1" "$2" oneline_long "$LONGD" 0 "\"\$FLBIN\" -p $LONG"
    capture "$1" "$2" repair_main "$BIG" 1 "\"\$FLBIN\" -sf $FILES"
    capture "$1" "$2" copy_pipe_main "$BIG" 1 "\"\$FLBIN\" -s $FILES | cat"
    capture "$1" "$2" pipe_long "$LONGD" 0 "cat $LONG | \"\$FLBIN\" -"
    capture "$1" "$2" stdin_twice_long "$LONGD" 0 "{ \"\$FLBIN\" -b -; wc -c; } < $LONG"
    capture "$1" "$2" verbose_crc "$BIG" 1 "\"\$FLBIN\" -vv $CRCS"
}
if [[ ! -f $REF/made_by ]]; then
    rm -rf "$REF"
    if [[ -n $BENCH_REFERENCE_REVISION ]]; then
        build_revision "$BENCH_REFERENCE_REVISION"
        say "recording reference outputs from $rev_sha"
        capture_all "$rev_bin" "$REF"
        echo "framelint $rev_sha (BENCH_REFERENCE_REVISION=$BENCH_REFERENCE_REVISION) on $(date -u +%Y-%m-%dT%H:%MZ)" \
            >"$REF/made_by"
    else
        say "recording reference outputs from the binary under test"
        capture_all "$FL" "$REF"
        echo "framelint $rev (the binary under test) on $(date -u +%Y-%m-%dT%H:%MZ)" >"$REF/made_by"
    fi
    ref_new=" (recorded in this run)"
else
    ref_new=""
fi
say "checking outputs against the references"
capture_all "$FL" "$R/check"
# Commands added to the check after the references were made get theirs from the
# same revision now.
if [[ -n $BENCH_REFERENCE_REVISION ]] && ! grep -q 'the binary under test' "$REF/made_by"; then
    missing=()
    for f in "$R"/check/*.rc; do
        [[ -f $REF/$(basename "$f") ]] || missing+=("$(basename "$f" .rc)")
    done
    if ((${#missing[@]} > 0)); then
        build_revision "$BENCH_REFERENCE_REVISION"
        say "recording references for ${missing[*]} from $rev_sha"
        capture_all "$rev_bin" "$R/ref-extra"
        for m in "${missing[@]}"; do
            cp "$R/ref-extra/$m".* "$REF/"
        done
    fi
fi
changed=()
compare_with() {  # compare_with CHECKDIR REFDIR
    local f b
    for f in "$1"/*.out "$1"/*.err "$1"/*.rc; do
        b=$(basename "$f")
        if [[ ! -f $2/$b ]]; then
            changed+=("$b (no reference)")
        elif ! cmp -s "$f" "$2/$b"; then
            changed+=("$b")
        fi
    done
}
compare_with "$R/check" "$REF"
if ((${#changed[@]} > 0)); then
    {
        echo
        echo "=================================================================="
        echo "OUTPUT CHANGED: framelint ($rev) does not reproduce the reference"
        echo "outputs of: $(cat "$REF/made_by")"
        echo "=================================================================="
        for b in "${changed[@]}"; do
            name=${b%% *}
            cdir=$R/check rdir=$REF
            echo "--- $name   (command, run in its folder: $(cut -f2 "$cdir/${name%.*}.cmd" | cut -c1-160)...)"
            if [[ -f $rdir/$name ]]; then
                diff -u "$rdir/$name" "$cdir/$name" | sed -n 1,20p || true
            fi
        done
        echo
        echo "New outputs are in $R/check, references in $REF."
        echo "If the change of output is deliberate, rerun with BENCH_RESET_REFERENCE=1"
        echo "and BENCH_REFERENCE_REVISION set to a commit that has it (or to \"\")."
    } >&2
    exit 1
fi
reference_status="outputs identical to the references from $(head -1 "$REF/made_by")$ref_new ($(ls "$R"/check/*.out | wc -l) commands"
reference_status="$reference_status)"
say "$reference_status"

# -c adds its findings and the INTEGRITY field and must change nothing else: for
# every file it does not call DAMAGED, its one-line summary without that field is
# the default check's.
say "checking -c against the default check"
capture "$FL" "$R/check" integrity_main "$BIG" 0 "\"\$FLBIN\" -c -p $FILES"
integrity_status=$(awk -F'\t' '
    FNR == NR { if (/^FILE_NAME /) plain[$1] = $0; next }
    /^FILE_NAME / {
        verdict = $NF; sub(/^INTEGRITY /, "", verdict)
        line = $0; sub(/\tINTEGRITY [A-Z_]+$/, "", line)
        n[verdict]++
        if (verdict != "DAMAGED" && line != plain[$1]) { print "differs: " $1 > "/dev/stderr"; bad = 1 }
    }
    END {
        for (v in n) printf "%s%s %d", (k++ ? ", " : ""), v, n[v]
        exit bad
    }' "$R/check/oneline_main.out" "$R/check/integrity_main.out") ||
    die "-c changed more than its own field; see $R/check/integrity_main.out"
say "-c verdicts: $integrity_status"

# ---- 5. counts against the manifest -----------------------------------------------
say "checking counts against the manifest"
cat "$R/check/oneline_main.out" "$R/check/oneline_tiny.out" "$R/check/oneline_long.out" |
    awk -F'\t' -v manifest="$BENCH_DIR/MANIFEST.tsv" '
    BEGIN {
        while ((getline line < manifest) > 0) {
            split(line, m, "\t")
            if (m[1] == "set") continue
            bytes[m[2]] = m[3]; frames[m[2]] = m[4]; fmt[m[2]] = m[5]
        }
    }
    /^FILE_NAME / {
        name = substr($1, 11)
        good = bad = last = ""
        for (i = 2; i <= NF; i++) {
            split($i, kv, " ")
            if (kv[1] == "GOOD_FRAMES") good = kv[2]
            if (kv[1] == "BAD_FRAMES") bad = kv[2]
            if (kv[1] == "LAST_BYTE_CHECKED") last = kv[2]
        }
        seen[name] = 1
        if (!(name in frames)) next
        if (frames[name] == "-") {
            damaged = damaged sprintf("- `%s` (%s): GOOD_FRAMES %s, BAD_FRAMES %s, LAST_BYTE_CHECKED %s of %s bytes\n", name, fmt[name], good, bad, last, bytes[name])
            next
        }
        known++
        if (good == frames[name] && bad == "0" && last == bytes[name]) { ok++; next }
        wrong++
        if (wrong <= 20)
            bad_list = bad_list sprintf("- `%s` (%s): GOOD_FRAMES %s (expected %s), BAD_FRAMES %s (expected 0), LAST_BYTE_CHECKED %s (expected %s)\n", name, fmt[name], good, frames[name], bad, last, bytes[name])
    }
    END {
        printf "Expected frame counts come from the independent walker tests/data/walk_frames.py run on the clips the files are made of (see make_corpus.sh), never from framelint.\n\n"
        printf "- %d of %d clean files agree with `framelint -p`: GOOD_FRAMES = expected frames, BAD_FRAMES 0, LAST_BYTE_CHECKED = file size.\n", ok, known
        missing = 0
        for (n in frames) if (!(n in seen)) missing++
        if (missing) printf "- %d files of the manifest got no line from framelint -p.\n", missing
        if (wrong) printf "- %d disagree%s:\n\n%s", wrong, (wrong > 20 ? " (first 20)" : ""), bad_list
        if (damaged != "") printf "\nThe deliberately damaged files (no expected count), as framelint reports them:\n\n%s", damaged
    }' >"$R/sanity.txt"
cat "$R/sanity.txt" >&2

# ---- 6. timing -----------------------------------------------------------------------
FLQ=$(printf '%q' "$FL")
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
ffmpeg_runs=$((BENCH_RUNS < 3 ? BENCH_RUNS : 3))
hf() {  # hf GROUP ROUND RUNS DIR  NAME CMD [NAME CMD]...
    local group=$1 round=$2 runs=$3 dir=$4
    shift 4
    local args=()
    while (($# > 0)); do
        args+=(-n "$1" "$2")
        shift 2
    done
    # hyperfine runs each command through sh -c and subtracts sh's own start-up.
    (cd "$dir" && hyperfine -i --warmup 1 --runs "$runs" --style basic \
        --export-json "$R/hf_${group}_r$round.json" "${args[@]}" >>"$R/hyperfine.log" 2>&1) ||
        die "hyperfine failed; see $R/hyperfine.log"
}
PROBEQ=$(printf '%q' "$PROBE")
for ((round = 1; round <= BENCH_ROUNDS; round++)); do
    say "timing, round $round of $BENCH_ROUNDS"
    hf main "$round" "$BENCH_RUNS" "$BIG" \
        "cat FILES > /dev/null" "cat $FILES > /dev/null" \
        "probe FILES" "$PROBEQ $FILES > /dev/null" \
        "probe -r FILES" "$PROBEQ -r $FILES > /dev/null" \
        "framelint FILES > /dev/null" "$FLQ $FILES > /dev/null" \
        "framelint -s FILES > /dev/null" "$FLQ -s $FILES > /dev/null" \
        "cat FILES | cat > /dev/null" "cat $FILES | cat > /dev/null" \
        "framelint -s FILES | cat > /dev/null" "$FLQ -s $FILES | cat > /dev/null" \
        "framelint -sf FILES > /dev/null" "$FLQ -sf $FILES > /dev/null" \
        "framelint -i -a FILES > /dev/null" "$FLQ -i -a $FILES > /dev/null" \
        "framelint -c FILES > /dev/null" "$FLQ -c $FILES > /dev/null" \
        "mp3val FILES > /dev/null" "mp3val $FILES > /dev/null"
    if ((${#crc_files[@]} > 0)); then
        hf crc "$round" "$BENCH_RUNS" "$BIG" \
            "cat CRC > /dev/null" "cat $CRCS > /dev/null" \
            "probe CRC" "$PROBEQ $CRCS > /dev/null" \
            "framelint CRC > /dev/null" "$FLQ $CRCS > /dev/null" \
            "framelint -c CRC > /dev/null" "$FLQ -c $CRCS > /dev/null"
    fi
    hf long "$round" "$BENCH_RUNS" "$LONGD" \
        "cat LONG > /dev/null" "cat $LONG > /dev/null" \
        "probe LONG" "$PROBEQ $LONG > /dev/null" \
        "framelint - < LONG > /dev/null" "$FLQ - < $LONG > /dev/null" \
        "framelint LONG > /dev/null" "$FLQ $LONG > /dev/null" \
        "cat LONG | cat > /dev/null" "cat $LONG | cat > /dev/null" \
        "cat LONG | framelint - > /dev/null" "cat $LONG | $FLQ - > /dev/null"
    hf tiny "$round" "$BENCH_RUNS" "$TINY" \
        "cat TINY > /dev/null" "cat $TINYS > /dev/null" \
        "probe TINY" "$PROBEQ $TINYS > /dev/null" \
        "framelint TINY > /dev/null" "$FLQ $TINYS > /dev/null" \
        "mp3val TINY > /dev/null" "mp3val $TINYS > /dev/null"
    hf one "$round" "$ffmpeg_runs" "$BIG" \
        "cat ONE > /dev/null" "cat $ONE > /dev/null" \
        "ffmpeg -v error -i ONE -f null -" "ffmpeg -nostdin -v error -i $ONE -f null -"
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

# ---- 7a. peak resident memory ----------------------------------------------------------
say "measuring peak resident memory"
rss() {  # rss NAME DIR STDIN PROGRAM ARGS...   (standard output to /dev/null)
    local name=$1 dir=$2 input=$3
    shift 3
    rm -f "$R/rss.one"
    (cd "$dir" && /usr/bin/time -f %M -o "$R/rss.one" "$@" <"$input" >/dev/null 2>&1) || true
    local kib=?
    [[ -s $R/rss.one ]] && kib=$(tail -1 "$R/rss.one")
    printf '%s\t%s\n' "$name" "$kib" >>"$R/rss.tsv"
}
: >"$R/rss.tsv"
rss "cat FILES > /dev/null" "$BIG" /dev/null cat "${big_files[@]}"
rss "framelint FILES > /dev/null" "$BIG" /dev/null "$FL" "${big_files[@]}"
rss "framelint -s FILES > /dev/null" "$BIG" /dev/null "$FL" -s "${big_files[@]}"
rss "framelint -sf FILES > /dev/null" "$BIG" /dev/null "$FL" -sf "${big_files[@]}"
rss "framelint -i -a FILES > /dev/null" "$BIG" /dev/null "$FL" -i -a "${big_files[@]}"
rss "framelint -c FILES > /dev/null" "$BIG" /dev/null "$FL" -c "${big_files[@]}"
rss "mp3val FILES > /dev/null" "$BIG" /dev/null mp3val "${big_files[@]}"
if ((${#crc_files[@]} > 0)); then
    rss "cat CRC > /dev/null" "$BIG" /dev/null cat "${crc_files[@]}"
    rss "framelint CRC > /dev/null" "$BIG" /dev/null "$FL" "${crc_files[@]}"
fi
rss "cat LONG > /dev/null" "$LONGD" /dev/null cat "$LONG"
rss "framelint - < LONG > /dev/null" "$LONGD" "$LONGD/$LONG" "$FL" -
rss "framelint LONG > /dev/null" "$LONGD" /dev/null "$FL" "$LONG"
rss "cat LONG | framelint - > /dev/null" "$LONGD" /dev/null sh -c "cat $LONG | exec $FLQ -"
rss "cat TINY > /dev/null" "$TINY" /dev/null cat "${tiny_files[@]}"
rss "framelint TINY > /dev/null" "$TINY" /dev/null "$FL" "${tiny_files[@]}"
rss "mp3val TINY > /dev/null" "$TINY" /dev/null mp3val "${tiny_files[@]}"
rss "cat ONE > /dev/null" "$BIG" /dev/null cat "$ONE"
rss "ffmpeg -v error -i ONE -f null -" "$BIG" /dev/null ffmpeg -nostdin -v error -i "$ONE" -f null -

# ---- 7b. instruction counts -----------------------------------------------------------
if [[ ${BENCH_NO_CALLGRIND:-0} != 1 ]] && command -v valgrind >/dev/null; then
    say "counting instructions with callgrind"
    top_functions() {  # the 8 costliest functions of callgrind_annotate's listing, names only
        awk '/file:function/ { table = 1; getline; next }
             table && NF && match($0, /^ *[0-9,]+ \( *[0-9.]+%\) +/) {
                 head = substr($0, 1, RLENGTH); rest = substr($0, RLENGTH + 1)
                 sub(/ \[[^]]*\]$/, "", rest); sub(/^[^:]*:/, "", rest); sub(/\(.*/, "", rest)
                 gsub(/ +/, " ", head); sub(/^ /, "", head)
                 printf "%-22s %s\n", head, rest
                 if (++n == 8) exit
             }'
    }
    : >"$R/cg.tsv"
    cg() {  # cg TAG LABEL BYTES COMMAND: COMMAND is run by the shell in $LONGD, $VG standing for valgrind
        local tag=$1 label=$2 nbytes=$3 cmd=$4
        local VG="valgrind --tool=callgrind --callgrind-out-file=$R/cg.$tag.out"
        (cd "$LONGD" && eval "$cmd") >/dev/null 2>"$R/cg.$tag.log" || true
        local ir
        ir=$(sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$R/cg.$tag.log" | tail -1)
        [[ -n $ir ]] || { say "callgrind gave no count for $label"; return 0; }
        printf '%s\t%s\t%s\n' "$label" "$ir" "$nbytes" >>"$R/cg.tsv"
        if [[ $tag != cat ]] && command -v callgrind_annotate >/dev/null; then
            {
                echo "$label"
                callgrind_annotate --inclusive=no "$R/cg.$tag.out" 2>/dev/null | top_functions || true
            } >"$R/cg_top_$tag.txt"
        fi
    }
    L=$(printf '%q' "$LONG")
    cg 1default "framelint LONG" "$long_bytes" "\$VG $FLQ $L"
    cg 2copy "framelint -s LONG" "$long_bytes" "\$VG $FLQ -s $L"
    cg 3repair "framelint -sf LONG" "$long_bytes" "\$VG $FLQ -sf $L"
    cg 4id3all "framelint -i -a LONG" "$long_bytes" "\$VG $FLQ -i -a $L"
    cg 5integrity "framelint -c LONG" "$long_bytes" "\$VG $FLQ -c $L"
    cg 6stdin "framelint - < LONG" "$long_bytes" "\$VG $FLQ - < $L"
    cg 7pipe "cat LONG | framelint -" "$long_bytes" "cat $L | \$VG $FLQ -"
    if ((${#crc_files[@]} > 0)); then
        # A CRC-protected file, where the default check runs a CRC over every body.
        crc_one=$(printf '%q' "$BIG/${crc_files[0]}")
        crc_one_bytes=$(stat -c %s "$BIG/${crc_files[0]}")
        cg 8crc "framelint CRC1" "$crc_one_bytes" "\$VG $FLQ $crc_one"
        cg 9crc_integrity "framelint -c CRC1" "$crc_one_bytes" "\$VG $FLQ -c $crc_one"
    fi
    cg cat "cat LONG (for scale)" "$long_bytes" "\$VG cat $L"
    rm -f "$R"/cg.*.out
fi

# ---- 7c. profile ----------------------------------------------------------------------
if [[ ${BENCH_NO_PERF:-0} != 1 ]] && command -v perf >/dev/null &&
    perf record -e cpu-clock -o "$R/perf.probe" -- true >/dev/null 2>&1; then
    say "profiling with perf record"
    prof() {  # prof TAG LABEL CMD (in $BIG)
        (cd "$BIG" && perf record -q -e cpu-clock -F 4999 -o "$R/perf.$1.data" -- sh -c "exec $3" >/dev/null 2>&1) ||
            true
        {
            echo "$2"
            perf report -q -i "$R/perf.$1.data" --stdio --sort comm,dso,symbol 2>/dev/null |
                grep -v '^$' | head -12 | sed -e 's/  */ /g' -e 's/^ //' -e 's/ - - *$//' || true
        } >"$R/perf_$1.txt"
        rm -f "$R/perf.$1.data"
    }
    prof 1default "framelint FILES > /dev/null" "$FLQ $FILES > /dev/null"
    prof 2copy "framelint -s FILES > /dev/null" "$FLQ -s $FILES > /dev/null"
    prof 3id3all "framelint -i -a FILES > /dev/null" "$FLQ -i -a $FILES > /dev/null"
    prof 4cat "cat FILES > /dev/null" "cat $FILES > /dev/null"
    rm -f "$R/perf.probe"
fi

# ---- 8. report ------------------------------------------------------------------------
cpu=$(grep -m1 '^model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')
mem=$(awk '/^MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)
tools="hyperfine $(hyperfine --version | cut -d' ' -f2), mp3val $(mp3val 2>&1 | sed -n 's/^Version \(.*\)\.$/\1/p' || true),"
tools="$tools $(ffmpeg -version | sed -n '1s/^\(ffmpeg version [^ ]*\).*/\1/p'), $(cat --version | sed -n 1p)"
{
    echo "date=$(date -u '+%Y-%m-%d %H:%M UTC')"
    echo "nproc=$(nproc)"
    echo "cpu=$cpu"
    echo "cpu_flags=$cpu_flags"
    echo "mem=$mem"
    echo "kernel=$(uname -r)"
    echo "framelint_rev=$rev"
    echo "framelint_build=$build_note"
    echo "tools=$tools"
    echo "load_before=$load_before"
    echo "load_after=$load_after"
    echo "cache=$cache_note"
    echo "rounds=$BENCH_ROUNDS"
    echo "runs=$BENCH_RUNS"
    echo "ffmpeg_runs=$ffmpeg_runs"
    echo "reference_status=$reference_status"
    echo "command=$command_note"
    echo "main_files=${#big_files[@]}"
    echo "main_bytes=$main_bytes"
    echo "tiny_files=${#tiny_files[@]}"
    echo "tiny_bytes=$tiny_bytes"
    echo "long_name=$LONG"
    echo "long_bytes=$long_bytes"
    echo "crc_files=${#crc_files[@]}"
    echo "crc_bytes=$crc_bytes"
    echo "one_name=$ONE"
    echo "one_bytes=$one_bytes"
} >"$R/meta.env"
python3 "$here/report.py" "$R" | tee "$BENCH_RESULTS"
say "wrote $BENCH_RESULTS; raw results in $R"
