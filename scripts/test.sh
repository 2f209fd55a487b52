#!/usr/bin/env bash
# Builds and runs every test preset: native, asan and, when the cross tools are present, win32.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

presets=$(cmake --list-presets=test 2>/dev/null | sed -n 's/^ *"\([^"]*\)".*/\1/p')
status=0
for preset in $presets; do
    echo "=== $preset ==="
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)"
    if ! ctest --preset "$preset" -j "$(nproc)"; then
        status=1
    fi
done
exit $status
