#!/usr/bin/env bash
# The two entry points of this repository, for a fresh Debian 12 or 13 machine:
#   scripts/run.sh demo   build everything and run the main job: a tour of the
#                         system installed from its .debs in a throw-away sandbox
#                         that boots this machine's systemd where it can
#   scripts/run.sh test   build everything and run the whole test suite: a
#                         format check of the C++ files, CTest
#                         on the normal build, the same suite on a sanitizer
#                         build, a short run of every fuzz target, and the
#                         unit and end-to-end tests of a Qt 6 build
# Both install the Debian packages they lack (root, or through sudo), build in
# ${VEXA_BUILD_DIR:-build} and put our own .debs in its debs/ folder.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="${VEXA_BUILD_DIR:-$top/build}"
debs="$build/debs"
jobs=$(nproc 2>/dev/null || echo 2)

usage() {
    echo "usage: scripts/run.sh demo|test" >&2
    exit 2
}
[ $# -eq 1 ] || usage

bash "$top/scripts/ensure-packages.sh"

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j "$jobs"
bash "$top/scripts/build-debs.sh" "$debs"

case "$1" in
    demo)
        # The system bus starts the installed daemon on the demo's first call,
        # through systemd and the unit where the sandbox can boot systemd.
        exec "$top/tests/e2e/sandbox.sh" --build-dir "$build" --debs "$debs" --boot -- "$top/scripts/demo.sh"
        ;;
    test)
        # Every stage runs even when an earlier one failed, so one run shows
        # all that is wrong; the status is that of the worst.
        status=0
        # One style for all C++ files, as .clang-format states it.
        bash "$top/scripts/check-format.sh" || status=1
        (cd "$build" && VEXA_DEB_DIR="$debs" ctest --output-on-failure --timeout 1800) || status=1
        # The same suite once more on an AddressSanitizer + UBSan build.
        bash "$top/scripts/sanitize.sh" || status=1
        # Each libFuzzer target for a minute (scripts/fuzz.sh SECONDS for longer).
        bash "$top/scripts/fuzz.sh" "${VEXA_FUZZ_SECONDS:-60}" || status=1
        # The same sources built with Qt 6, in a folder of their own. The
        # tests of the installed packages (label debs) stay with the run
        # above: the packages are built with Qt 5 whatever this build is.
        build6="${VEXA_QT6_BUILD_DIR:-$top/build-qt6}"
        { cmake -S "$top" -B "$build6" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXA_QT_MAJOR=6 &&
            cmake --build "$build6" -j "$jobs" &&
            (cd "$build6" && ctest --output-on-failure --timeout 1800 -LE debs); } || status=1
        exit "$status"
        ;;
    *) usage ;;
esac
