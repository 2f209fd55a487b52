#!/usr/bin/env bash
# Checks the built DLL without running it: exactly the two exports, undecorated; imports from
# Windows' own DLLs only; and every routine of the operation table and every handler ending
# in `ret N` with the stack size of the host's contract.
# Usage: check-dll.sh OBJDUMP DLL
set -uo pipefail
# objdump speaks the user's language; the patterns below read its English.
export LC_ALL=C
objdump=$1
dll=$2
status=0
fail() { echo "FAIL: $*"; status=1; }

headers=$("$objdump" -p "$dll") || { echo "cannot read $dll"; exit 1; }

exports=$(printf '%s\n' "$headers" |
    sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[ *[0-9]*\] //p' | sort |
    tr '\n' ' ')
if [ "$exports" != "GetDriver25 GetVE30 " ]; then
    fail "exports are '$exports', expected exactly GetDriver25 and GetVE30"
fi

system_dlls=" kernel32.dll user32.dll gdi32.dll advapi32.dll msvcrt.dll ntdll.dll comctl32.dll 
 comdlg32.dll shell32.dll ole32.dll oleaut32.dll ws2_32.dll version.dll "
imports=$(printf '%s\n' "$headers" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z')
[ -n "$imports" ] || fail "no imports found"
for name in $imports; do
    case "$system_dlls" in
        *" $name "*) ;;
        *) fail "imports $name, which is not a Windows system DLL" ;;
    esac
done

# The stack bytes each routine removes, by name (the handlers the host calls back included).
declare -A expected=(
    [GetProtocolDescription]=8 [SetLinkState]=12 [GetLinkState]=8 [StopPump]=16
    [ReservedQuery]=8 [GetFinalDispensedData]=20 [GetTotalizer]=32 [ReservedOperationA]=32
    [GetDispensedData]=16 [GetStatusCode]=12 [SetPrice]=32 [ReservedOperationB]=16
    [SetVolumeLimit]=28 [SetMoneyLimit]=28 [StartPump]=16 [InitLink]=8 [ReadParameter]=16
    [WriteParameter]=20 [StartFill]=20 [GetDriverInfo]=12 [PollDispenserStatus]=20
    [StopFillOnRequest]=20 [StopFill]=20 [AddMenuItems]=12 [ReservedOperationC]=12
    [ReservedOperationD]=12 [PollDispenserStatusEx]=20 [HandleHostEvent]=24
    [ReplyCheckEntry]=24 [ApplyLinkSettingsEntry]=8 [ProgrammingMenuClick]=8
)
declare -A seen=()
while read -r name hex; do
    seen[$name]=$((16#$hex))
done < <("$objdump" -d -C "$dll" | awk '
    /^[0-9a-f]+ <.*>:$/ {
        current = ""
        # A routine written by hand, or one made from the driver function it calls.
        if (match($0, /fuel::win32::\(anonymous namespace\)::[A-Za-z]+\(/)) {
            current = substr($0, RSTART, RLENGTH - 1)
            sub(/.*::/, "", current)
        } else if (match($0, /::HostRoutine<&fuel::TVM30::[A-Za-z]+,/)) {
            current = substr($0, RSTART, RLENGTH - 1)
            sub(/.*::/, "", current)
        }
        next
    }
    current != "" && /\tret +\$0x/ {
        value = $NF; sub(/^\$0x/, "", value)
        print current, value
    }')
for name in "${!expected[@]}"; do
    if [ -z "${seen[$name]:-}" ]; then
        fail "no 'ret N' found for $name"
    elif [ "${seen[$name]}" != "${expected[$name]}" ]; then
        fail "$name removes ${seen[$name]} bytes, expected ${expected[$name]}"
    fi
done

if [ $status -eq 0 ]; then
    echo "exports: $exports; imports: $(echo $imports); ${#expected[@]} routines with the right ret N"
fi
exit $status
