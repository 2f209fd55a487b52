#!/usr/bin/env bash
# Builds the command-line program and runs it: with no arguments, the demo (a whole fill on
# two emulated dispensers, in a few seconds); otherwise the given fuelctl command, e.g.
#   scripts/run.sh monitor --activity
# On a fresh Debian machine it first installs the compiler, the build tools and the JSON
# library when run as root; otherwise it names what is missing. The tests are left out of
# this build.
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
# fuelctl's --json (a header-only library).
[ -f /usr/include/nlohmann/json.hpp ] || need+=(nlohmann-json3-dev)
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
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFUEL_BENCHMARKS=OFF \
             -DFUEL_TESTS=OFF &&
       cmake --build "$build" --target fuelctl -j "$(nproc)"; } >"$log" 2>&1; then
    cat "$log" >&2
    echo "the build failed" >&2
    exit 1
fi

if [ $# -eq 0 ]; then
    set -- demo
fi
rm -f "$log"
trap - EXIT
exec "$build/cli/fuelctl" "$@"
