#!/usr/bin/env bash
# Runs every benchmark (bench/run-benchmarks.sh) and prints each figure as a ratio to its
# floor measured in the same run, with the absolute medians and the machine.
# Needs root (the daemon's benchmarks run in the sandbox of tests/e2e/).
#
#   scripts/bench.sh [--build-dir DIR] [--quick] [GROUP...]
#
# DIR defaults to ./build-bench (configured with -DVEXA_BUILD_BENCH=ON);
# --quick takes few rounds, to try the rig out; GROUPs (gate, whitelist,
# copylogs, burst, memory, window, boot) run only some benchmarks. boot builds the
# Debian packages (scripts/build-debs.sh, into DIR/debs) and measures them in
# the booted sandbox (sandbox.sh --debs --boot), beside systemd-hostnamed. The report is also
# written to DIR/bench-results.md; bench/RESULTS.md keeps the last one taken,
# with what was found. Not part of the test suite: the figures depend on the
# machine and on what else runs on it, so run it on a quiet machine.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$top/build-bench"
quick=()
groups=()
while [ $# -gt 0 ]; do
    case "$1" in
        --build-dir) build=$2; shift 2 ;;
        --quick) quick=(--quick); shift ;;
        gate | whitelist | copylogs | burst | memory | window | boot) groups+=("$1"); shift ;;
        *) echo "usage: scripts/bench.sh [--build-dir DIR] [--quick] [GROUP...]" >&2; exit 2 ;;
    esac
done

bash "$top/scripts/ensure-packages.sh"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXA_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
build=$(cd "$build" && pwd)

# The group boot runs alone in the booted sandbox, the others together in
# the plain one; no GROUP means all.
plain=()
boot=0
[ ${#groups[@]} -gt 0 ] || { plain=(gate whitelist copylogs burst memory window); boot=1; }
for group in "${groups[@]}"; do
    if [ "$group" = boot ]; then boot=1; else plain+=("$group"); fi
done
# The packages are built before the load average is taken.
if [ "$boot" -eq 1 ]; then
    bash "$top/scripts/build-debs.sh" "$build/debs" >&2
fi

cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
raw=$(mktemp)
trap 'rm -f "$raw"' EXIT
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
started=$(date -u '+%Y-%m-%d %H:%M UTC')
status=0
if [ ${#plain[@]} -gt 0 ]; then
    "$top/tests/e2e/sandbox.sh" --build-dir "$build" --start-daemon -- \
        "$top/bench/run-benchmarks.sh" "${quick[@]}" "${plain[@]}" >>"$raw" || status=$?
fi
if [ "$status" -eq 0 ] && [ "$boot" -eq 1 ]; then
    "$top/tests/e2e/sandbox.sh" --build-dir "$build" --debs "$build/debs" --boot -- \
        "$top/bench/run-benchmarks.sh" "${quick[@]}" boot >>"$raw" || status=$?
fi
if [ "$status" -ne 0 ]; then
    echo "bench: the benchmarks did not complete (exit $status)" >&2
    exit "$status"
fi

{
    echo "Benchmarks of $(git -C "$top" describe --always --dirty 2>/dev/null || echo "this tree")${quick:+ (quick run)}"
    echo
    echo "- Date: $started"
    echo "- CPU: ${cpu:-unknown}, $(nproc) cores"
    echo "- Kernel: $(uname -sr); $(. /etc/os-release && echo "$PRETTY_NAME"); Qt $(qmake -query QT_VERSION 2>/dev/null || echo '?')"
    echo "- Load average before / after: $load_before / $(cut -d' ' -f1-3 /proc/loadavg)"
    echo
    "$build/tools/bench/vexa-bench-tool" report <"$raw"
} | tee "$build/bench-results.md"
