#!/usr/bin/env bash
# Makes the Windows release archive, dist/fueldriver-VERSION-win32.zip: the DLL stripped of
# its debug information, that information in fueldriver.dll.debug beside it (for a crash
# from a station), the integrator's notes and SHA-256 checksums of all three.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh >/dev/null
cmake --preset win32-release >/dev/null
cmake --build --preset win32-release -j "$(nproc)"

build=build/win32-release
version=$(sed -n 's/.*kVersion\[\] = "\(.*\)";.*/\1/p' "$build/generated/driver/Version.h")
objdump=i686-w64-mingw32-objdump
exports=$("$objdump" -p "$build/bin/fueldriver.dll" |
    sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[ *[0-9]*\] //p' | sort |
    tr '\n' ' ')
if [ "$exports" != "GetDriver25 GetVE30 " ]; then
    echo "the release DLL exports '$exports'" >&2
    exit 1
fi

name=fueldriver-$version-win32
out=dist/$name
rm -rf "$out" "dist/$name.zip"
mkdir -p "$out"
cp "$build/bin/fueldriver.dll" "$build/bin/fueldriver.dll.debug" "$out/"
# The notes are read on Windows: CRLF line ends, the version filled in.
sed "s/@VERSION@/$version/; s/\$/\r/" platform/win32/INTEGRATION.txt >"$out/INTEGRATION.txt"
(cd "$out" && sha256sum fueldriver.dll fueldriver.dll.debug INTEGRATION.txt >SHA256SUMS)
(cd dist && cmake -E tar cf "$name.zip" --format=zip "$name")
echo "dist/$name.zip: fueldriver.dll $(stat -c %s "$out/fueldriver.dll") bytes," \
     "fueldriver.dll.debug $(stat -c %s "$out/fueldriver.dll.debug") bytes"
