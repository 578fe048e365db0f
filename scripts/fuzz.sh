#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang and runs each one for
# SECONDS (default 60), starting from the seeds in fuzz/corpus/<target>/.
# Fails when a target crashes, breaks an invariant or leaks; the input that
# did it is kept in build-fuzz/artifacts/<target>/ and can be replayed with
#   build-fuzz/<target> build-fuzz/artifacts/<target>/crash-...
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#
# CI runs a short pass (scripts/fuzz.sh 45: under five minutes with the
# build). A long run is the same command with more time per target, e.g.
#   scripts/fuzz.sh 3600
# Each run goes on from the corpus the earlier runs built up in
# build-fuzz/corpus/<target>/. VEXA_FUZZ_BUILD_DIR overrides the build
# directory (default build-fuzz).
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="${VEXA_FUZZ_BUILD_DIR:-$top/build-fuzz}"
seconds="${1:-60}"
[ $# -gt 0 ] && shift
case "$seconds" in
    ''|*[!0-9]*) echo "usage: scripts/fuzz.sh [SECONDS] [TARGET...]" >&2; exit 2 ;;
esac

CC=clang CXX=clang++ cmake -S "$top/fuzz" -B "$build" >/dev/null
cmake --build "$build" -j 2 --target fuzzers >/dev/null

if [ $# -gt 0 ]; then
    targets=("$@")
else
    targets=()
    for dir in "$top"/fuzz/corpus/*/; do
        targets+=("$(basename "$dir")")
    done
fi

export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
export LSAN_OPTIONS="suppressions=$top/fuzz/lsan.supp:print_suppressions=0:${LSAN_OPTIONS:-}"
# Qt is built without frame pointers, so a leak's stack reaches our code and
# the suppression of Qt's own JSON parser leak (fuzz/lsan.supp) only with the
# slow unwinder, which makes every allocation ten times dearer. So the
# fuzzing itself runs without leak checks, and the corpus it leaves (every
# input that reached new code) is then run once more with them.
fuzz_asan="detect_leaks=0:abort_on_error=1:${ASAN_OPTIONS:-}"
leak_asan="detect_leaks=1:fast_unwind_on_malloc=0:abort_on_error=1:${ASAN_OPTIONS:-}"

failed=()
summary=()
for target in "${targets[@]}"; do
    [ -x "$build/$target" ] || { echo "fuzz: no target $target" >&2; exit 2; }
    # Seeds stay untouched in the repository; what the run learns goes to
    # a working corpus in the build directory.
    corpus="$build/corpus/$target"
    artifacts="$build/artifacts/$target"
    mkdir -p "$corpus" "$artifacts"
    log="$build/$target.log"
    echo "== $target: ${seconds}s"
    status=0
    runs=0
    : >"$log"
    # Rounds of at most five minutes, each going on from the corpus the
    # earlier ones left: Qt's JSON parser leaks on some inputs (see
    # fuzz/lsan.supp), and a single long run would grow until libFuzzer
    # takes it for running out of memory.
    left=$seconds
    while [ "$left" -gt 0 ] && [ "$status" -eq 0 ]; do
        round=$((left < 300 ? left : 300))
        left=$((left - round))
        ASAN_OPTIONS="$fuzz_asan" "$build/$target" -max_total_time="$round" -timeout=20 -max_len=16384 \
            -detect_leaks=0 -print_final_stats=1 -artifact_prefix="$artifacts/" \
            "$corpus" "$top/fuzz/corpus/$target" >"$log.round" 2>&1 || status=$?
        cat "$log.round" >>"$log"
        units=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log.round" | tail -n 1)
        runs=$((runs + ${units:-0}))
    done
    rm -f "$log.round"
    if [ "$status" -eq 0 ]; then
        ASAN_OPTIONS="$leak_asan" "$build/$target" -runs=0 -detect_leaks=1 -artifact_prefix="$artifacts/" \
            "$corpus" "$top/fuzz/corpus/$target" >>"$log" 2>&1 || status=$?
    fi
    inputs=$(find "$corpus" "$top/fuzz/corpus/$target" -type f | wc -l)
    if [ "$status" -ne 0 ]; then
        failed+=("$target")
        echo "FAILED ($status); the end of $log:"
        tail -n 40 "$log"
    fi
    summary+=("$(printf '%-20s %12s executions %6s corpus inputs  %s' "$target" "$runs" "$inputs" \
        "$([ "$status" -eq 0 ] && echo ok || echo FAILED)")")
done

echo
printf '%s\n' "${summary[@]}"
if [ "${#failed[@]}" -gt 0 ]; then
    echo "fuzz: failed: ${failed[*]}" >&2
    exit 1
fi
