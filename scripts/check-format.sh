#!/usr/bin/env bash
# Holds the C++ files a change touches against the root .clang-format, and names those that
# differ with the command that mends them. Files nobody touched are not checked.
#
# What "touched" means: the files that differ between the working tree (commits, uncommitted
# edits and new files alike) and the merge base with the main line (origin/main, else main).
# Where the checkout is the main line itself, as CI's clean clone of main is, that base is
# the commit before the last, so the last commit's files are checked. With no earlier commit
# to compare with (a single commit, a shallow clone) there is nothing to check.
set -euo pipefail
cd "$(dirname "$0")/.."

formatter=$(command -v clang-format-14 || command -v clang-format || true)
if [ -z "$formatter" ]; then
    echo "format check: no clang-format here (scripts/install-deps.sh installs it)" >&2
    exit 1
fi
if ! git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    echo "format check: not a git checkout, nothing to compare with: skipped"
    exit 0
fi

base=""
for line in origin/main main; do
    if git rev-parse -q --verify "$line^{commit}" >/dev/null; then
        base=$(git merge-base HEAD "$line" || true)
        break
    fi
done
if [ -z "$base" ] || [ "$base" = "$(git rev-parse HEAD)" ]; then
    if ! base=$(git rev-parse -q --verify 'HEAD~1^{commit}'); then
        echo "format check: no earlier commit to compare with: skipped"
        exit 0
    fi
fi

mapfile -t files < <({
    git diff --name-only --diff-filter=d "$base" --
    git ls-files --others --exclude-standard
} | grep -E '\.(c|cc|cpp|cxx|h|hh|hpp)$' | sort -u)

unformatted=()
for file in "${files[@]}"; do
    if [ -f "$file" ] && ! "$formatter" --dry-run --Werror --style=file "$file" >/dev/null 2>&1; then
        unformatted+=("$file")
    fi
done
against=$(git rev-parse --short "$base")
if [ ${#unformatted[@]} -gt 0 ]; then
    echo "format check: ${#unformatted[@]} of ${#files[@]} C++ file(s) changed since $against" \
         "differ from .clang-format:" >&2
    printf '  %s\n' "${unformatted[@]}" >&2
    echo "mend them with: $(basename "$formatter") -i ${unformatted[*]}" >&2
    exit 1
fi
echo "format check: ${#files[@]} C++ file(s) changed since $against, all formatted"
