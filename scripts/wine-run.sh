#!/usr/bin/env bash
# Runs one 32-bit Windows program under Wine, in a private prefix made for this run and
# removed after it, so that tests neither see nor leave anything in a user's ~/.wine.
# Exit code 77 means "skipped": this machine cannot execute 32-bit x86 code at all (some
# virtual machines provide no 32-bit code segment, so neither Wine's 32-bit loader nor its
# WoW64 mode can run), and ctest reports such a test as skipped rather than passed.
set -uo pipefail

if [ $# -lt 1 ]; then
    echo "usage: $0 PROGRAM.exe [ARGUMENTS...]" >&2
    exit 2
fi

loader=${FUEL_WINE_LOADER:-/usr/lib/wine/wine}
if [ ! -x "$loader" ]; then
    echo "wine-run: no 32-bit Wine loader at $loader (run scripts/install-deps.sh as root)" >&2
    exit 77
fi
if ! "$loader" --version >/dev/null 2>&1; then
    echo "wine-run: $loader cannot start on this machine (no 32-bit x86 execution); skipped" >&2
    exit 77
fi

prefix=$(mktemp -d "${TMPDIR:-/tmp}/fuel-wine.XXXXXX")
cleanup() {
    WINEPREFIX="$prefix" "${loader%/*}/wineserver" -k >/dev/null 2>&1 || true
    rm -rf "$prefix"
}
trap cleanup EXIT

export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
"$loader" "$@"
