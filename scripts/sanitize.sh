#!/usr/bin/env bash
# Builds the whole project with AddressSanitizer and UndefinedBehaviorSanitizer
# (-DVEXA_SANITIZE=ON) and runs the whole test suite on that build, the
# end-to-end tests included. Passes only when every test passes and no
# instrumented process reported anything.
#
#   scripts/sanitize.sh
#
# VEXA_ASAN_BUILD_DIR overrides the build directory (default build-asan).
#
# Every instrumented process writes its reports to a folder of their own (kept
# as build-asan/sanitizer-reports/ at the end) rather than to its standard
# error: the daemon's output, and that of the
# programs the tests start in the background, is not always kept, and a report
# must never get lost with it. The reports found are printed at the end.
#
# The Debian package tests (tst_e2e_installed and its .launch-helper run,
# demo.tour) are left out: they install the .debs, which are built by
# dpkg-buildpackage without sanitizers, so nothing of this build would run in
# them.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="${VEXA_ASAN_BUILD_DIR:-$top/build-asan}"
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXA_SANITIZE=ON >/dev/null
cmake --build "$build" -j "$jobs"

# Written by root in the sandboxes and by tests that drop to nobody, so in a
# folder every user reaches (the build may lie under a 0700 home, and the
# sanitizer of a process that cannot reach its log folder stops it at start);
# /var/tmp, which the sandboxes share with the host. Kept in the build at the
# end.
kept="$build/sanitizer-reports"
rm -rf "$kept"
reports=$(mktemp -d /var/tmp/vexa-sanitizer-reports.XXXXXX)
chmod 1777 "$reports"
trap 'mkdir -p "$kept" && cp -a "$reports"/. "$kept"/ && rm -rf "$reports"' EXIT

# log_exe_name keeps apart the reports of processes with equal ids in
# different sandboxes (each has its own pid namespace).
asan_options="log_path=$reports/asan:log_exe_name=1:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export LSAN_OPTIONS="suppressions=$top/tests/sanitizers/lsan.supp:print_suppressions=0${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
export UBSAN_OPTIONS="log_path=$reports/ubsan:log_exe_name=1:print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"

status=0
# The sensor window's tests first, with the slow unwinder: Qt's GUI plugins
# and the GL driver leak at exit, and without frame pointers in those
# libraries only a full stack shows that the memory is theirs (see
# tests/sanitizers/lsan.supp). It makes every allocation much dearer, which
# the daemon's tests with their large files cannot afford, and they need no
# suppression.
(cd "$build" && ASAN_OPTIONS="$asan_options:fast_unwind_on_malloc=0" \
    ctest --output-on-failure --timeout 1800 -R '^sensorwindow\.') || status=$?
(cd "$build" && ASAN_OPTIONS="$asan_options" \
    ctest --output-on-failure --timeout 1800 -E '^(sensorwindow\..*|tst_e2e_installed(\.launch-helper)?|demo\.tour)$') || status=$?

found=$(find "$reports" -type f | sort)
if [ -n "$found" ]; then
    echo
    echo "sanitize: reports from instrumented processes:"
    for report in $found; do
        echo "--- $report"
        cat "$report"
    done
    status=1
fi
if [ "$status" -eq 0 ]; then
    echo "sanitize: every test passed; no sanitizer reports"
else
    echo "sanitize: FAILED" >&2
fi
exit "$status"
