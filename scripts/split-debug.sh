#!/usr/bin/env bash
# Moves a Windows DLL's debug information into DLL.debug beside it and strips the DLL, which
# keeps a link to the debug file by name, so that a debugger given a crash from a station
# finds it. Usage: split-debug.sh OBJCOPY DLL
set -euo pipefail
objcopy=$1
dll=$2
cd "$(dirname "$dll")"
name=$(basename "$dll")
"$objcopy" --only-keep-debug "$name" "$name.debug"
"$objcopy" --strip-all --add-gnu-debuglink="$name.debug" "$name"
