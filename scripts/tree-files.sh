#!/usr/bin/env bash
# Lists the work tree's source files, NUL-separated and relative to its top:
# as git sees them (tracked files and new ones not ignored, deleted ones
# left out) in a git work tree, else (an unpacked release tarball, or no git
# installed) every file but the ignored build folders.
#
#   scripts/tree-files.sh [PATTERN...]     e.g. '*.cpp' '*.h'; default: all
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"

# safe.directory: under sudo, root reads a work tree that a user owns.
if command -v git >/dev/null && [ -e .git ] &&
    git -c safe.directory="$top" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git -c safe.directory="$top" ls-files -z --cached --others --exclude-standard -- "$@" |
        while IFS= read -r -d '' f; do
            if [ -e "$f" ] || [ -L "$f" ]; then printf '%s\0' "$f"; fi
        done
    exit 0
fi

# The same as .gitignore says: no build folders at the top, no editor files.
names=()
for pattern in "$@"; do
    names+=(${names[0]+-o} -name "$pattern")
done
find . \( -path ./.git -o -path './build*' \) -prune -o \( -type f -o -type l \) \
    ! -name '*.user' ${names[0]+\( "${names[@]}" \)} -printf '%P\0' | sort -z
