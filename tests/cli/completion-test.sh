#!/usr/bin/env bash
# The shell completion as bash runs it, against the built program: commands, subcommands,
# each one's options and the fault kinds, all read from the program's help.
# Usage: completion-test.sh FUELCTL COMPLETION_SCRIPT
set -uo pipefail
program=$1
source "$2"
PATH=$(dirname "$program"):$PATH
status=0

# expect "WORDS TYPED" "EXPECTED COMPLETIONS": the last word is the one being completed.
expect() {
    read -r -a COMP_WORDS <<<"$1"
    [[ $1 == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    _fuelctl
    local got="${COMPREPLY[*]}"
    if [ "$got" != "$2" ]; then
        echo "FAIL: '$1' completes to '$got', expected '$2'"
        status=1
    fi
}

expect "fuelctl st" "status start stop"
expect "fuelctl --ver" "--version"
expect "fuelctl status --fa" "--fault --fault-rate"
expect "fuelctl status --nozz" "--nozzles"
expect "fuelctl status --js" "--json"
expect "fuelctl price --js" ""  # it prints no results
expect "fuelctl status --fault ch" "checksum"
expect "fuelctl status --fault-rate si" "silence="
expect "fuelctl status 1" ""
# Only the options a command takes: the calculator and the catalogue talk to no line.
expect "fuelctl adjust --po" ""
expect "fuelctl catalogue --ret" ""
expect "fuelctl trace --" "--help"
# Subcommands, and each one's own options, wherever the options stand.
expect "fuelctl cell " "read write"
expect "fuelctl catalogue a" "add-controller add-parameter"
expect "fuelctl cell read --r" "--retries --rom"
expect "fuelctl cell --trace read 1 --js" "--json"
expect "fuelctl cell write --js" ""
expect "fuelctl param dump --o" "--output"
expect "fuelctl param read --o" ""
# The forecourt's own --config (the station's file), among its options and no line option's.
expect "fuelctl forecourt --" "--attend --config --database --duration --help --json"
[ $status -eq 0 ] && echo "completions as expected"
exit $status
