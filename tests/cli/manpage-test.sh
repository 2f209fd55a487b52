#!/usr/bin/env bash
# A manual page against the program it describes: every command of the program's --help has
# its entry under COMMANDS (for a program with commands), and the options of its --help are in
# the page, as are those several of fuelctl's commands share (--json, --settings); a command's
# own options are left to its --help, as the page says.
# Usage: manpage-test.sh PROGRAM MANUAL_PAGE [MORE_OPTIONS...]
set -uo pipefail
program=$1
page=$2
shift 2
status=0

commands=$("$program" --help | sed -n '/^Commands:/,/^$/s/^  \([a-z][a-z-]*\) .*/\1/p')
section=$(sed -n '/^\.SH COMMANDS/,/^\.SH /p' "$page")
for command in $commands; do
    # An entry's first word, after .B or .BI, possibly inside quotes: .BI "cell read" ...
    if ! grep -qE "^\.BI? \"?$command( |\"|$)" <<<"$section"; then
        echo "FAIL: the manual page's COMMANDS lack '$command'"
        status=1
    fi
done

common=$("$program" --help | sed -n '/^Options/,/^$/s/^  \(--[a-z][a-z-]*\).*/\1/p')
[ -n "$common" ] || { echo "FAIL: no options in '$program --help'"; exit 1; }
for option in $common "$@"; do
    # The page spells a dash as \-.
    if ! grep -qF -- "${option//-/\\-}" "$page"; then
        echo "FAIL: the manual page does not mention $option"
        status=1
    fi
done
[ $status -eq 0 ] && echo "the manual page names every command and option"
exit $status
