#!/usr/bin/env bash
# A manual page against the program it describes: every command and subcommand of the
# program's help has its entry under COMMANDS (for a program with commands), and every option
# that the program's help and each command's and subcommand's help list is in the page.
# Usage: manpage-test.sh PROGRAM MANUAL_PAGE [MORE_OPTIONS...]
set -uo pipefail
program=$1
page=$2
shift 2
status=0

# The names of a help text's list (Commands:, Subcommands:), and its options (the sections
# Options: and Line options:).
list() { sed -n "/^$1:/,/^\$/s/^  \\([a-z][a-z-]*\\) .*/\\1/p"; }
options_of() { sed -n '/^\(Line o\|O\)ptions/,/^$/s/^  \(--[a-z][a-z0-9-]*\).*/\1/p'; }

section=$(sed -n '/^\.SH COMMANDS/,/^\.SH /p' "$page")
# An entry's first words, after .B or .BI, possibly inside quotes: .BI "cell read" ...; the
# page spells a dash as \-.
has_entry() {
    local words=${1//-/\\\\-}
    grep -qE "^\.BI? \"?$words( |\"|$)" <<<"$section"
}

help=$("$program" --help)
options=$(options_of <<<"$help")
[ -n "$options" ] || { echo "FAIL: no options in '$program --help'"; exit 1; }
for command in $(list Commands <<<"$help"); do
    if ! has_entry "$command"; then
        echo "FAIL: the manual page's COMMANDS lack '$command'"
        status=1
    fi
    command_help=$("$program" "$command" --help)
    options+=$'\n'$(options_of <<<"$command_help")
    for subcommand in $(list Subcommands <<<"$command_help"); do
        if ! has_entry "$command $subcommand"; then
            echo "FAIL: the manual page's COMMANDS lack '$command $subcommand'"
            status=1
        fi
        options+=$'\n'$("$program" "$command" "$subcommand" --help | options_of)
    done
done

for option in $(sort -u <<<"$options") "$@"; do
    if ! grep -qF -- "${option//-/\\-}" "$page"; then
        echo "FAIL: the manual page does not mention $option"
        status=1
    fi
done
[ $status -eq 0 ] && echo "the manual page names every command, subcommand and option"
exit $status
