#!/usr/bin/env bash
# Runs one 32-bit Windows program under Wine, in a private prefix made for this run and
# removed after it, so that tests neither see nor leave anything in a user's ~/.wine.
#
# Where the kernel cannot run 32-bit x86 code itself (some virtual machines give processes no
# 32-bit code segment, so neither Wine's 32-bit loader nor its WoW64 mode can start),
# scripts/install-deps.sh registers qemu's user-mode i386 emulator for 32-bit programs: the
# loader then runs emulated (with Wine's preloader, which reserves the address ranges Wine
# needs before anything else takes them) and talks to the native 64-bit wineserver.
#
# Exit code 77 means "skipped": no way to run a 32-bit program here; ctest reports it so.
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
    echo "wine-run: $loader cannot start: this machine runs no 32-bit x86 code" \
         "(scripts/install-deps.sh, as root, sets up the emulator); skipped" >&2
    exit 77
fi
if [ -z "${WINESERVER:-}" ] && [ -x "${loader%/*}/wineserver64" ]; then
    export WINESERVER="${loader%/*}/wineserver64"
fi

# Wine takes the ANSI code page, the decimal separator and the character set of Unix file
# names from the locale: programs run as on the hosts' machines, in FUEL_WINE_LANG (the
# Russian locale unless told), whatever the caller's is. Under a caller's C locale (or with
# none set) Wine could not even name a file in Cyrillic.
lang=${FUEL_WINE_LANG:-ru_RU.UTF-8}
# locale -a names them as "ru_RU.utf8".
if ! locale -a 2>/dev/null | grep -qixF "$(sed 's/\.utf-8$/.utf8/I' <<<"$lang")"; then
    echo "wine-run: no $lang locale here (scripts/install-deps.sh, as root, makes it);" \
         "C.UTF-8 instead" >&2
    lang=C.UTF-8
fi
unset ${!LC_@}
export LANG="$lang"

prefix=$(mktemp -d "${TMPDIR:-/tmp}/fuel-wine.XXXXXX")
export WINEPREFIX="$prefix" WINEDEBUG=-all
# No crash debugger, desktop integration, .NET or HTML engine: nothing a test needs.
export WINEDLLOVERRIDES="winedbg.exe=d;winemenubuilder.exe=d;mscoree,mshtml="

# The program and every process Wine starts for it share one process group, so that all of
# them can be ended, even those a crashed wineserver no longer knows about.
set -m
"$loader" "$@" &
group=$!
finish() {
    "${WINESERVER:-${loader%/*}/wineserver}" -k >/dev/null 2>&1
    kill -KILL -- "-$group" >/dev/null 2>&1
    rm -rf "$prefix"
}
# A run stopped from outside (a test's time-out) takes its Wine processes with it.
trap 'finish; exit 143' TERM INT HUP
wait "$group"
status=$?
finish
exit $status
