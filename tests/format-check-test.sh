#!/usr/bin/env bash
# scripts/check-format.sh in a repository of its own: it checks what a change touched and
# nothing else, on a branch, on the main line and in the working tree.
# Usage: format-check-test.sh CHECK_SCRIPT CLANG_FORMAT_FILE
set -uo pipefail
script=$1
style=$2
if ! command -v clang-format-14 >/dev/null && ! command -v clang-format >/dev/null; then
    echo "no clang-format: skipped"
    exit 77
fi
repo=$(mktemp -d)
trap 'rm -rf "$repo"' EXIT
mkdir -p "$repo/scripts"
cp "$script" "$repo/scripts/check-format.sh"
cp "$style" "$repo/.clang-format"
cd "$repo" || exit 1
git init -q -b main
git config user.email test@example.invalid
git config user.name test
formatted='int f() {
    return 1;
}
'
unformatted='int   g( ) { return 2 ; }
'
status=0
# expect PASS|FAIL WHAT [TEXT]: runs the check; TEXT must be in what it says.
expect() {
    local want=$1 what=$2 text=${3:-}
    local out
    if out=$(bash scripts/check-format.sh 2>&1); then got=PASS; else got=FAIL; fi
    if [ "$got" != "$want" ] || ! grep -qF -- "$text" <<<"$out"; then
        echo "FAIL: $what: expected $want${text:+ saying '$text'}, got $got:"
        echo "$out" | sed 's/^/    /'
        status=1
    else
        echo "ok: $what"
    fi
}

printf '%s' "$formatted" >good.cpp
printf '%s' "$unformatted" >old.cpp
git add -A && git commit -q -m first
expect PASS "a single commit" "no earlier commit"

printf '%s' "$formatted" >other.h
git add -A && git commit -q -m second
expect PASS "the main line: the last commit touched only formatted files, old.cpp untouched"

git checkout -q -b feature
printf '%s\n' '// more' >>old.cpp
git commit -q -am third
expect FAIL "a branch that changed an unformatted file" "old.cpp"
expect FAIL "the way to mend it" "-i old.cpp"

clang-format -i old.cpp 2>/dev/null || clang-format-14 -i old.cpp
git commit -q -am fourth
expect PASS "the branch once the file is formatted"

printf '%s' "$unformatted" >>good.cpp
expect FAIL "an edit not yet committed" "good.cpp"
git checkout -q good.cpp

printf '%s' "$unformatted" >new.h
expect FAIL "a new file not yet added" "new.h"
rm new.h

git checkout -q main
git merge -q --no-ff feature -m merge
expect PASS "the main line after the merge: its files are formatted"

exit $status
