#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each one for a bounded time.
#
#   fuzz/run.sh [SECONDS] [TARGET...]
#
# SECONDS is the fuzzing time per target named (default 60); TARGET is
# decode_header, scan or repair (repair starts from scan's seeds). With no
# TARGET, all three are fuzzed one after the other, never in parallel, each
# from its seeds alone with a fixed random seed for a fixed number of inputs
# (reproducible on any machine; SECONDS is then only a ceiling);
# a target named is fuzzed from a scratch corpus that grows across runs. Before fuzzing,
# every input kept in fuzz/regressions/<target>/ is replayed once, so that
# inputs that once failed stay fixed. Exits non-zero on any failure.
#
# Environment:
#   FRAMELINT_FUZZ_BUILD  build directory        (default: <repo>/build-fuzz)
#   FRAMELINT_FUZZ_WORK   scratch corpora, logs and crash artifacts, kept
#                         outside the repository (default: ${TMPDIR:-/tmp}/framelint-fuzz)
#   FRAMELINT_FUZZ_JOBS   build parallelism      (default: 2)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
seconds=${1:-60}
shift || true
targets=("$@")
per_target=$seconds
# The default run (CI's) is reproducible: each target starts afresh from the
# committed seeds with a fixed random seed, so the same code meets the same
# inputs in the same order, and a run that passed once passes again. Named
# targets fuzz open-ended, from the scratch corpus that grows across runs.
reproducible=0
if [ ${#targets[@]} -eq 0 ]; then
    targets=(decode_header scan repair)
    reproducible=1
fi
build=${FRAMELINT_FUZZ_BUILD:-$root/build-fuzz}
work=${FRAMELINT_FUZZ_WORK:-${TMPDIR:-/tmp}/framelint-fuzz}
jobs=${FRAMELINT_FUZZ_JOBS:-2}

case "$seconds" in
    '' | *[!0-9]*) echo "fuzz/run.sh: SECONDS must be a whole number, got '$seconds'" >&2; exit 2 ;;
esac
for t in "${targets[@]}"; do
    case "$t" in
        decode_header | scan | repair) ;;
        *) echo "fuzz/run.sh: unknown target '$t' (decode_header, scan or repair)" >&2; exit 2 ;;
    esac
done

log() { echo "fuzz/run.sh: $*"; }

apt_install() {
    if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null 2>&1; then
        log "cannot install $* (needs root and apt-get); install it by hand" >&2
        return 1
    fi
    log "installing $*"
    if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$@" >/dev/null 2>&1; then
        DEBIAN_FRONTEND=noninteractive apt-get update -q >/dev/null 2>&1 || true
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$@" >/dev/null
    fi
}

# --- toolchain ---------------------------------------------------------------
command -v cmake >/dev/null 2>&1 || apt_install cmake
if ! command -v clang++ >/dev/null 2>&1; then
    apt_install clang
fi

# libFuzzer and the sanitizer runtimes come in their own package on Debian
# (libclang-rt-N-dev from clang 14 on, inside libclang-common-N-dev before).
links_fuzzer() {
    local probe
    probe=$(mktemp -d)
    printf '%s\n' '#include <cstddef>' '#include <cstdint>' \
        'extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t) { return 0; }' >"$probe/probe.cpp"
    local ok=0
    clang++ -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" >/dev/null 2>&1 || ok=1
    rm -rf "$probe"
    return $ok
}
if ! links_fuzzer; then
    major=$(clang++ -dumpversion | cut -d. -f1)
    log "clang $major cannot link libFuzzer programs; looking for its runtime package"
    apt_install "libclang-rt-$major-dev" || apt_install "libclang-common-$major-dev" || true
    if ! links_fuzzer; then
        log "still cannot link -fsanitize=fuzzer with clang $major" >&2
        exit 1
    fi
fi

generator=()
if command -v ninja >/dev/null 2>&1; then
    generator=(-G Ninja)
fi

# --- build ------------------------------------------------------------------
# A build directory made with another compiler cannot be switched to clang.
if [ -f "$build/CMakeCache.txt" ] && ! grep -q '^CMAKE_CXX_COMPILER:.*clang' "$build/CMakeCache.txt"; then
    rm -rf "$build"
fi
mkdir -p "$work"
log "building in $build"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" "${generator[@]}" \
    -DFRAMELINT_FUZZ=ON -DFRAMELINT_SANITIZE=ON -DFRAMELINT_TESTS=OFF -DFRAMELINT_BENCH=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" >"$work/configure.log" 2>&1 ||
    { cat "$work/configure.log" >&2; exit 1; }
cmake --build "$build" --parallel "$jobs" --target "${targets[@]/%/_fuzz}" >"$work/build.log" 2>&1 ||
    { tail -n 60 "$work/build.log" >&2; exit 1; }

# --- replay and fuzz ----------------------------------------------------------
declare -A max_len=([decode_header]=4 [scan]=8192 [repair]=8192)
declare -A seeds=([decode_header]=decode_header [scan]=scan [repair]=scan)
# The default run stops after a fixed number of inputs, not a fixed time: a
# time bound makes a faster machine go further and meet inputs a slower one
# never did. The counts take about a minute each here; the time is a ceiling.
declare -A runs_of=([decode_header]=3000000 [scan]=20000 [repair]=200000)
status=0
for t in "${targets[@]}"; do
    bin="$build/fuzz/${t}_fuzz"
    corpus="$work/corpus/$t"
    how=(-timeout=10 -rss_limit_mb=2048 -max_len="${max_len[$t]}" -print_final_stats=1)
    if [ $reproducible -eq 1 ]; then
        corpus="$work/fresh/$t"
        rm -rf "$corpus"
        how+=(-seed=1 -runs="${runs_of[$t]}")
    fi
    artifacts="$work/artifacts/$t/"
    mkdir -p "$corpus" "$artifacts"
    # Both sanitizers stop at their first finding; leaks count as findings too.
    export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
    export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

    mapfile -t kept < <(find "$here/regressions/$t" -type f ! -name .gitkeep 2>/dev/null | sort)
    if [ ${#kept[@]} -gt 0 ]; then
        if "$bin" -runs=1 "${kept[@]}" >"$work/$t.replay.log" 2>&1; then
            log "$t: ${#kept[@]} kept regression input(s) pass"
        else
            tail -n 40 "$work/$t.replay.log" >&2
            log "$t: a kept regression input fails again (log: $work/$t.replay.log)" >&2
            status=1
            continue
        fi
    fi

    if [ $reproducible -eq 1 ]; then
        log "$t: fuzzing ${runs_of[$t]} inputs, at most ${per_target}s (from the seeds alone, random seed 1)"
    else
        log "$t: fuzzing for ${per_target}s (scratch corpus $corpus)"
    fi
    # New inputs go to the first directory; the seeds are read only.
    if "$bin" -max_total_time="$per_target" "${how[@]}" -artifact_prefix="$artifacts" \
        "$corpus" "$here/corpus/${seeds[$t]}" >"$work/$t.log" 2>&1; then
        runs=$(sed -n 's/^Done \([0-9]*\) runs in \([0-9]*\) second.*/\1 runs in \2 s/p' "$work/$t.log" | tail -n 1)
        log "$t: ${runs:-? runs}, no failure; corpus now $(find "$corpus" -type f | wc -l) inputs"
    else
        tail -n 60 "$work/$t.log" >&2
        log "$t: FAILED (log: $work/$t.log). The failing input is under $artifacts;" \
            "minimise it with: $bin -minimize_crash=1 -runs=10000 <input>, then keep it in fuzz/regressions/$t/" >&2
        status=1
    fi
done
exit $status
