#!/usr/bin/env bash
# The two entry points of this repository, for a fresh Debian 12 machine:
#   scripts/run.sh demo   build everything and run the main job: a tour of the
#                         system inside a throw-away sandbox
#   scripts/run.sh test   build everything and run the whole test suite
# Both install the Debian packages they lack (root, or through sudo).
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="${VEXA_BUILD_DIR:-$top/build}"
jobs=$(nproc 2>/dev/null || echo 2)

usage() {
    echo "usage: scripts/run.sh demo|test" >&2
    exit 2
}
[ $# -eq 1 ] || usage

bash "$top/scripts/ensure-packages.sh"

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j "$jobs"

case "$1" in
    demo)
        exec "$top/tests/e2e/sandbox.sh" --build-dir "$build" --start-daemon -- "$top/scripts/demo.sh"
        ;;
    test)
        cd "$build"
        ctest --output-on-failure --timeout 1800
        ;;
    *) usage ;;
esac
