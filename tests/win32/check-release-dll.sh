#!/usr/bin/env bash
# The DLL as it ships: split-debug.sh on a copy must leave the exports, the imports and the
# version resource as they were, take the debug information out into DLL.debug and link it.
# Usage: check-release-dll.sh OBJCOPY OBJDUMP DLL
set -uo pipefail
objcopy=$1
objdump=$2
dll=$3
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

cp "$dll" "$work/fueldriver.dll"
"$here/../../scripts/split-debug.sh" "$objcopy" "$work/fueldriver.dll" || fail "split-debug.sh failed"

tables() {  # the export and import tables as objdump prints them
    "$objdump" -p "$1" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p; s/^\s*DLL Name: //p'
}
[ "$(tables "$dll")" = "$(tables "$work/fueldriver.dll")" ] ||
    fail "the stripped DLL's exports or imports differ from the built one's"
sections=$("$objdump" -h "$work/fueldriver.dll")
grep -q '\.gnu_debuglink' <<<"$sections" || fail "no link to the debug file"
grep -q '\.rsrc' <<<"$sections" || fail "the version resource is gone"
grep -q '\.debug_info' <<<"$sections" && fail "debug information left in the stripped DLL"
grep -q '\.debug_info' <<<"$("$objdump" -h "$work/fueldriver.dll.debug")" ||
    fail "no debug information in fueldriver.dll.debug"
built=$(stat -c %s "$dll")
stripped=$(stat -c %s "$work/fueldriver.dll")
[ "$stripped" -lt "$built" ] || fail "stripping did not make the DLL smaller"
[ $status -eq 0 ] && echo "stripped: $stripped bytes (built: $built); debug file beside it"
exit $status
