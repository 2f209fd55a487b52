#!/usr/bin/env bash
# Checks the format of the C++ files the change touched, then builds and runs every test
# preset: native, asan and, when the cross tools are present, win32. A failure is restated
# at the very end, with the failed tests run once more and their output, so that the last
# lines of a long log say what failed and whether it fails again.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

status=0
failed_presets=()
# First, as it takes a second; the tests run all the same, and the verdict is repeated last.
format=0
scripts/check-format.sh || format=1

presets=$(cmake --list-presets=test 2>/dev/null | sed -n 's/^ *"\([^"]*\)".*/\1/p')
for preset in $presets; do
    echo "=== $preset ==="
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)"
    if ! ctest --preset "$preset" -j "$(nproc)"; then
        status=1
        failed_presets+=("$preset")
    fi
done
for preset in "${failed_presets[@]}"; do
    echo "=== $preset: failed tests ==="
    cut -d: -f2- "build/$preset/Testing/Temporary/LastTestsFailed.log" 2>/dev/null || true
    echo "=== $preset: the failed tests once more (the verdict stands whatever they do now) ==="
    ctest --preset "$preset" --rerun-failed 2>&1 | tail -n 80 || true
done
if [ $format -ne 0 ]; then
    echo "=== the format check failed: see its message at the start ===" >&2
    status=1
fi
exit $status
