#!/usr/bin/env bash
# Checks the format of the C++ files the change touched, then builds and runs every test
# preset: native, asan and, when the cross tools are present, win32.
#
# A test that fails is run once more, alone, after its preset's run: many tests here start
# daemons, brokers, a browser or Wine on a 2-core machine shared by the whole parallel run.
# A test that fails again fails the run; one that passes alone is named at the end as having
# failed once, with the output of that failure, so that it is seen and mended, not hidden.
# Everything that failed is restated at the very end of the log, where CI's tail shows it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

status=0
summary=$(mktemp)
trap 'rm -f "$summary"' EXIT
# The output a failed test printed in the preset's run, from ctest's log of that run.
failure_output() {  # failure_output LOG TEST
    [ -f "$1" ] || return 0
    awk -v name="$2" '$0 ~ "^[0-9]+/[0-9]+ Test: " && substr($0, index($0, "Test: ") + 6) == name {
                          on = 1 }
                      on { print } on && /^<end of output>/ { on = 0 }' "$1" | tail -n 60
}
# First, as it takes a second; the tests run all the same, and the verdict is repeated last.
format=0
scripts/check-format.sh || format=1

presets=$(cmake --list-presets=test 2>/dev/null | sed -n 's/^ *"\([^"]*\)".*/\1/p')
for preset in $presets; do
    echo "=== $preset ==="
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)"
    if ctest --preset "$preset" -j "$(nproc)"; then
        continue
    fi
    temporary="build/$preset/Testing/Temporary"
    mapfile -t failed < <(cut -d: -f2- "$temporary/LastTestsFailed.log" 2>/dev/null)
    cp "$temporary/LastTest.log" "$temporary/FirstRun.log" 2>/dev/null || true
    echo "=== $preset: ${#failed[@]} failed test(s) run once more, alone ==="
    again=()
    if ! ctest --preset "$preset" --rerun-failed >"$temporary/Rerun.log" 2>&1; then
        mapfile -t again < <(cut -d: -f2- "$temporary/LastTestsFailed.log" 2>/dev/null)
        status=1
        {
            echo "=== $preset: failed, and failed again when run alone: ${again[*]} ==="
            tail -n 80 "$temporary/Rerun.log"
        } >>"$summary"
    fi
    for name in "${failed[@]}"; do
        if ! printf '%s\n' "${again[@]}" | grep -qxF -- "$name"; then
            {
                echo "=== warning: $preset: failed once, passed when run again alone: $name ==="
                failure_output "$temporary/FirstRun.log" "$name"
            } >>"$summary"
        fi
    done
done
cat "$summary"
if [ $format -ne 0 ]; then
    echo "=== the format check failed: see its message at the start ==="
    status=1
fi
exit $status
