#!/usr/bin/env bash
# With no arguments: builds the forecourt server and runs it on the example station (the
# embedded emulator, with customers), a demonstration till authorising a fill now and then,
# and prints the web console's address and a back-office token to sign in with. Stop it
# with Ctrl-C. The database is made anew in build/run/console/ each time.
#
# With arguments: builds the command-line program and runs that fuelctl command, e.g.
#   scripts/run.sh demo                  a whole fill on two emulated dispensers
#   scripts/run.sh monitor --activity
#
# FUEL_CONSOLE_LISTEN=ADDR:PORT puts the console elsewhere (default 127.0.0.1:8470).
# On a fresh Debian machine it first installs the compiler, the build tools and the
# libraries when run as root; otherwise it names what is missing. The tests are left out of
# this build.
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
command -v pkg-config >/dev/null 2>&1 || need+=(pkgconf)
# fuelctl's --json and the server's JSON (a header-only library).
[ -f /usr/include/nlohmann/json.hpp ] || need+=(nlohmann-json3-dev)
# The forecourt (fuelctl forecourt as well as the server) and its journal; the server's HTTP
# (Beast, header-only), TLS and its bridge to a chain's MQTT broker. The build is configured
# whole, so both ways of running need them.
[ -f /usr/include/sqlite3.h ] || need+=(libsqlite3-dev)
[ -f /usr/include/boost/beast.hpp ] || need+=(libboost1.81-dev)
[ -f /usr/include/openssl/ssl.h ] || need+=(libssl-dev)
[ -f /usr/include/mosquitto.h ] || need+=(libmosquitto-dev)
if [ $# -eq 0 ]; then
    # The demonstration till.
    command -v python3 >/dev/null 2>&1 || need+=(python3)
fi
if [ ${#need[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing: ${need[*]} (run this script as root to install them)" >&2
        exit 1
    fi
    echo "installing: ${need[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${need[@]}"
fi

# Quiet while it works; the whole log when it does not.
build=build/run
target=$([ $# -eq 0 ] && echo fuel-forecourtd || echo fuelctl)
log=$(mktemp)
trap 'rm -f "$log"' EXIT
echo "building $target in $build ..." >&2
if ! { cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFUEL_BENCHMARKS=OFF \
             -DFUEL_TESTS=OFF &&
       cmake --build "$build" --target "$target" -j "$(nproc)"; } >"$log" 2>&1; then
    cat "$log" >&2
    echo "the build failed" >&2
    exit 1
fi
rm -f "$log"
trap - EXIT

if [ $# -gt 0 ]; then
    exec "$build/cli/fuelctl" "$@"
fi

# The console.
daemon=$build/server/fuel-forecourtd
listen=${FUEL_CONSOLE_LISTEN:-127.0.0.1:8470}
state=$build/console
rm -rf "$state"
mkdir -p "$state"
database=$state/forecourt.db
manager=$("$daemon" token add demo-manager --role backoffice --database "$database" 2>/dev/null)
till=$("$daemon" token add demo-till --role pos --database "$database" 2>/dev/null)

"$daemon" --database "$database" --listen "$listen" 2>"$state/daemon.log" &
daemon_pid=$!
traffic_pid=
stop() {
    trap - INT TERM EXIT
    [ -n "$traffic_pid" ] && kill "$traffic_pid" 2>/dev/null
    kill "$daemon_pid" 2>/dev/null
    wait 2>/dev/null
    echo "stopped; the daemon's log is in $state/daemon.log" >&2
}
trap stop INT TERM EXIT

# Listening once the log says so; gone if it ended.
for _ in $(seq 100); do
    grep -q "listening on" "$state/daemon.log" 2>/dev/null && break
    if ! kill -0 "$daemon_pid" 2>/dev/null; then
        cat "$state/daemon.log" >&2
        exit 1
    fi
    sleep 0.1
done
url=$(sed -n 's/.*listening on \(http[s]*:\/\/[^ ]*\).*/\1/p' "$state/daemon.log" | head -1)/
python3 scripts/forecourt-traffic.py "$url" "$till" &
traffic_pid=$!

cat <<EOT

  The forecourt console:  $url
  Sign in with this token (back office, made for this demonstration):

      $manager

  A till named demo-till authorises a fill now and then; customers come to the pumps.
  The daemon's log: $state/daemon.log. Stop with Ctrl-C.

EOT
wait "$daemon_pid"
