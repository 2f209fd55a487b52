#!/usr/bin/env bash
# Runs the Win32 serial link's test program under Wine against fuel-emulator: a private
# prefix whose COM1 is a symbolic link onto the emulator's pseudo-terminal, as Wine maps
# COM ports onto Unix serial devices; and a second emulator behind a TCP port on the
# loopback address, for the Winsock line, whose address the program finds in FUEL_TEST_TCP. Exit code 77 means "skipped": no usable Wine loader
# (this machine cannot run 32-bit x86 code) or no native fuel-emulator built beside us.
#
#   wine-serial-test.sh FUEL-EMULATOR TEST-PROGRAM.exe [TEST ARGUMENTS...]
set -uo pipefail

if [ $# -lt 2 ]; then
    echo "usage: $0 FUEL-EMULATOR TEST-PROGRAM.exe [ARGUMENTS...]" >&2
    exit 2
fi
emulator=$1
program=$2
shift 2

loader=${FUEL_WINE_LOADER:-/usr/lib/wine/wine}
if [ ! -x "$loader" ] || ! "$loader" --version >/dev/null 2>&1; then
    echo "wine-serial-test: $loader cannot start on this machine; skipped" >&2
    exit 77
fi
if [ ! -x "$emulator" ]; then
    echo "wine-serial-test: no native fuel-emulator at $emulator (build the native preset" \
         "first); skipped" >&2
    exit 77
fi

prefix=$(mktemp -d "${TMPDIR:-/tmp}/fuel-wine-serial.XXXXXX")
emulator_pid=
converter_pid=
cleanup() {
    for pid in $emulator_pid $converter_pid; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    WINEPREFIX="$prefix/wine" "${loader%/*}/wineserver" -k >/dev/null 2>&1 || true
    rm -rf "$prefix"
}
trap cleanup EXIT

export WINEPREFIX="$prefix/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
"$loader" wineboot -i >/dev/null 2>&1
# Wine rebuilds the dosdevices COM links from the serial devices it finds whenever its
# server starts; a port named in the registry is kept as given.
"$loader" reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$prefix/ttyBUS" /f >/dev/null 2>&1
"${loader%/*}/wineserver" -w
# A server of our own for the test, whose farewell dump of its objects goes nowhere.
"${loader%/*}/wineserver" -p 5 >/dev/null 2>&1

cat > "$prefix/bus.conf" <<'CONF'
[dispenser 3]
nozzles = 2
flow = 4
price = 45.67 50.00
total = 1520.00 874.25
CONF
"$emulator" --config "$prefix/bus.conf" --link "$prefix/ttyBUS" --turnaround 2 \
    --fault checksum@1 --quiet > "$prefix/emulator.out" &
emulator_pid=$!
"$emulator" --config "$prefix/bus.conf" --tcp 0 --turnaround 2 --quiet > "$prefix/converter.out" &
converter_pid=$!
for _ in $(seq 100); do
    [ -s "$prefix/emulator.out" ] && [ -s "$prefix/converter.out" ] && break
    sleep 0.05
done
if [ ! -s "$prefix/emulator.out" ] || [ ! -s "$prefix/converter.out" ]; then
    echo "wine-serial-test: fuel-emulator did not start" >&2
    exit 1
fi

mkdir -p "$WINEPREFIX/dosdevices"
rm -f "$WINEPREFIX/dosdevices/com1"
ln -s "$prefix/ttyBUS" "$WINEPREFIX/dosdevices/com1"
FUEL_TEST_COM=COM1 FUEL_TEST_TCP=$(head -n 1 "$prefix/converter.out") "$loader" "$program" "$@"
