#!/usr/bin/env bash
# Runs every benchmark inside the sandbox of tests/e2e/sandbox.sh (started
# with --start-daemon) and prints RESULT and INFO lines on stdout; progress
# goes to stderr. scripts/bench.sh is the command to use; it starts this.
#
#   run-benchmarks.sh [--quick] [GROUP...]
#
# --quick takes few rounds, to try the rig out. GROUPs (gate, whitelist,
# copylogs, memory, window) pick some of the benchmarks; the default is all.
set -euo pipefail

[ -n "${VEXA_SANDBOX:-}" ] || { echo "run-benchmarks.sh runs inside tests/e2e/sandbox.sh" >&2; exit 2; }
build=$VEXA_BUILD_DIR
state=$VEXA_SANDBOX_STATE
bench=$build/bench

quick=0
if [ "${1:-}" = "--quick" ]; then
    quick=1
    shift
fi
groups=("$@")
[ ${#groups[@]} -gt 0 ] || groups=(gate whitelist copylogs memory window)
for group in "${groups[@]}"; do
    case $group in
        gate | whitelist | copylogs | memory | window) ;;
        *) echo "run-benchmarks.sh: unknown group $group" >&2; exit 2 ;;
    esac
done
selected() { [[ " ${groups[*]} " == *" $1 "* ]]; }
rounds() { if [ "$quick" -eq 1 ]; then echo "$2"; else echo "$1"; fi; }

note() { echo "bench: $*" >&2; }

. "$(dirname "${BASH_SOURCE[0]}")/../tools/lib.sh"
WORK=$state
trap stop_pids EXIT

# median NUMBER...: the middle one (the lower middle for an even count).
median() {
    printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }

# The benchmark caller stands at a permitted program path; the test caller
# stays at the others, for quilt and the name waits.
permitted=/usr/bin/tarvo-vexa-window
install -m 0755 "$bench/vexa-bench-client" "$permitted"
manager=/usr/bin/tarvo-vexa-manager
daemon=/usr/bin/tarvo-vexa-settings-daemon
name=cn.selvane.Vexa.Pref

# --- the bus and the caller check ------------------------------------------
bench_gate() {
    note "gated call vs Peer.Ping"
    "$permitted" gate "$(rounds 3000 200)"
}

# --- whitelist edits ------------------------------------------------------------
bench_whitelist() {
    local entries runs
    mkdir -p /usr/share/vexa
    for entries in 10 10000 100000; do
        case $entries in
            10) runs=$(rounds 300 20) ;;
            10000) runs=$(rounds 40 5) ;;
            *) runs=$(rounds 11 3) ;;
        esac
        note "whitelist of $entries entries, $runs rounds"
        "$permitted" whitelist /usr/share/vexa/games.json "$entries" "$runs"
    done
}

# --- log collection -------------------------------------------------------------
bench_copylogs() {
    local user=benchuser uid data
    useradd --create-home "$user"
    uid=$(id -u "$user")
    data=/var/lib/vexa/vexa-$uid-$user/data
    note "generating the logs"
    "$permitted" gen-logs "$data" /var/log/vexa.log "$(rounds 50 10)"
    note "copyLogFiles vs a shell"
    "$permitted" copylogs "$user" "$uid" "$data" /var/log/vexa.log "/home/$user/VexaLog/bench" "$(rounds 7 3)"
}

# --- resident memory --------------------------------------------------------------
stop_daemon() {
    local pid=$1
    "$manager" --no-wait quilt
    wait_for 10 sh -c "! kill -0 $pid" || { echo "the daemon did not end" >&2; exit 1; }
}

bench_memory() {
    local served pid daemon_rss=() owner_rss=() runs
    served=$(pidof tarvo-vexa-settings-daemon)
    echo "INFO The daemon after serving the benchmarks before this one: resident" \
        "$(rss_kib "$served") KiB, $(ls "/proc/$served/fd" | wc -l) open descriptors"
    stop_daemon "$served"

    runs=$(rounds 7 3)
    note "resident memory, $runs starts each"
    for _ in $(seq "$runs"); do
        "$daemon" >>"$state/bench-daemon.out" 2>&1 &
        pid=$!
        /usr/bin/vexa-pref-call --wait-name 10 || { echo "the daemon did not take its name" >&2; exit 1; }
        sleep 1
        daemon_rss+=("$(rss_kib "$pid")")
        "$manager" --no-wait quilt
        wait "$pid" || true

        "$bench/vexa-bench-name-owner" "$name" &
        pid=$!
        /usr/bin/vexa-pref-call --wait-name 10 || { echo "the name owner did not take the name" >&2; exit 1; }
        sleep 1
        owner_rss+=("$(rss_kib "$pid")")
        kill "$pid"
        wait "$pid" 2>/dev/null || true
    done
    echo "RESULT rss $(median "${owner_rss[@]}") $(median "${daemon_rss[@]}") KiB 1.2 $runs" \
        "Idle daemon's resident memory vs a minimal QtDBus name owner"
}

# --- the sensor window ------------------------------------------------------------
# An X server of its own (no window manager: the map is then the program's
# own doing), a session bus and the stand-in sensor service.
bench_window() {
    start_display
    export DISPLAY=$XDISPLAY
    start_bus
    start_sensor "$build/tools/vexa-fake-sensor" "$state/received"

    export HOME=$state/home XDG_RUNTIME_DIR=$state/runtime LANG=C.UTF-8
    mkdir -p "$HOME/.config"
    mkdir -p "$XDG_RUNTIME_DIR"
    chmod 700 "$XDG_RUNTIME_DIR"
    note "sensor window start, on $DISPLAY"
    "$bench/vexa-bench-window" start "$(rounds 21 3)" /usr/bin/tarvo-vexa-sensorwindow \
        "$bench/vexa-bench-minimal-widget"
    note "sensor window click"
    "$bench/vexa-bench-window" click "$(rounds 100 10)" /usr/bin/tarvo-vexa-sensorwindow "$state/received"
}

# The memory figures stop the daemon the sandbox started, so they come after
# the other daemon benchmarks.
for group in gate whitelist copylogs memory window; do
    if selected "$group"; then
        "bench_$group"
    fi
done
