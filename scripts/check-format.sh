#!/usr/bin/env bash
# Fails when a C++ source file differs from what clang-format makes of it
# (the style is .clang-format at the top, chosen so that clang-format 14 of
# Debian 12 and 19 of Debian 13 agree). `clang-format -i FILE` mends one.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"
version=$(clang-format --version)
bash scripts/tree-files.sh '*.cpp' '*.h' | xargs -0 -r clang-format --dry-run --Werror ||
    { echo "check-format: FAILED with $version" >&2; exit 1; }
echo "check-format: every C++ file is formatted ($version)"
