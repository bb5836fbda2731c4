#!/bin/sh
# Install a built tree into a temporary prefix and check what lands there:
# the binary runs on a fixture, the manual page is installed and renders
# without warnings, and the bash completion is installed.
#
# usage: scripts/check-install.sh BUILD_DIR
#
# BUILD_DIR must already be built. Nothing is installed outside the temporary
# prefix, which is removed afterwards. Exits 0 when every check passed.

set -eu

if [ "$#" -ne 1 ] || [ ! -f "$1/CMakeCache.txt" ]; then
    echo "usage: $0 BUILD_DIR (a configured and built CMake tree)" >&2
    exit 2
fi
build_dir=$1
source_dir=$(cd "$(dirname "$0")/.." && pwd)
fixture=$source_dir/tests/data/lame_cbr128.mp3

prefix=$(mktemp -d "${TMPDIR:-/tmp}/framelint-install.XXXXXX")
trap 'rm -rf "$prefix"' EXIT
trap 'exit 130' INT TERM

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# The install directories as the build configured them (GNUInstallDirs).
cache_value() {
    sed -n "s/^$1:[A-Z]*=//p" "$build_dir/CMakeCache.txt" | head -n 1
}
bindir=$(cache_value CMAKE_INSTALL_BINDIR)
mandir=$(cache_value CMAKE_INSTALL_MANDIR)
bindir=${bindir:-bin}
mandir=${mandir:-share/man}

echo "installing $build_dir into $prefix"
if ! cmake --install "$build_dir" --prefix "$prefix" >"$prefix/install.log" 2>&1; then
    cat "$prefix/install.log" >&2
    echo "FAIL: cmake --install" >&2
    exit 1
fi

# The installed binary on a clean constant-bit-rate file.
bin=$prefix/$bindir/framelint
if [ ! -x "$bin" ]; then
    fail "no executable at $bindir/framelint"
else
    status=0
    "$bin" "$fixture" >"$prefix/run.out" 2>"$prefix/run.err" || status=$?
    if [ "$status" -ne 0 ]; then
        fail "framelint $fixture exited with $status, expected 0"
        cat "$prefix/run.err" >&2
    fi
    good=$(sed -n 's/^GOOD_FRAMES  *//p' "$prefix/run.out")
    case $good in
        '' | *[!0-9]* | 0) fail "expected a GOOD_FRAMES line with a positive count, got '$good'" ;;
        *) echo "ok: installed binary reports GOOD_FRAMES $good, exit status 0" ;;
    esac
fi

# The manual page: installed, version matching the help text, renders cleanly.
page=$prefix/$mandir/man1/framelint.1
if [ -f "$page" ]; then
    cat_page() { cat "$page"; }
elif [ -f "$page.gz" ]; then
    page=$page.gz
    cat_page() { gzip -dc "$page"; }
else
    fail "no manual page at $mandir/man1/framelint.1"
    page=
fi

if [ -n "$page" ]; then
    echo "ok: manual page installed at ${page#"$prefix"/}"
    page_version=$(cat_page | sed -n 's/^\.TH .*"framelint \([^"]*\)".*/\1/p')
    help_version=
    if [ -x "$bin" ]; then
        # -h exits with status 1 by design.
        help_version=$("$bin" -h 2>&1 >/dev/null | sed -n 's/^\* VERSION: *\([^ ]*\).*/\1/p') || true
    fi
    if [ -z "$page_version" ] || [ "$page_version" != "$help_version" ]; then
        fail "manual page version '$page_version' differs from the help text's '$help_version'"
    else
        echo "ok: manual page and help text both say version $page_version"
    fi

    if command -v groff >/dev/null 2>&1; then
        cat_page | groff -man -Tutf8 -wall >"$prefix/page.txt" 2>"$prefix/page.err" || fail "groff failed"
        if [ -s "$prefix/page.err" ]; then
            fail "groff warnings on the manual page:"
            cat "$prefix/page.err" >&2
        elif ! grep -q 'framelint' "$prefix/page.txt"; then
            fail "the manual page rendered empty"
        else
            echo "ok: manual page renders without warnings"
        fi
    else
        echo "skip: groff not found, manual page not rendered"
    fi
fi

# Bash completion: installed where bash-completion looks, and it loads.
datadir=$(cache_value CMAKE_INSTALL_DATADIR)
completion=$prefix/${datadir:-share}/bash-completion/completions/framelint
if [ ! -f "$completion" ]; then
    fail "no bash completion at ${datadir:-share}/bash-completion/completions/framelint"
elif ! bash -c '. "$1" && complete -p framelint' sh "$completion" >/dev/null 2>&1; then
    fail "the bash completion does not load"
else
    echo "ok: bash completion installed and loads"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "install check passed"
