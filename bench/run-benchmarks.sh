#!/usr/bin/env bash
# Runs every benchmark inside the sandbox of tests/e2e/sandbox.sh (started
# with --start-daemon) and prints RESULT and INFO lines on stdout; progress
# goes to stderr. scripts/bench.sh is the command to use; it starts this.
#
#   run-benchmarks.sh [--quick] [GROUP...]
#
# --quick takes few rounds, to try the rig out. GROUPs (gate, whitelist,
# copylogs, memory, window, burst) pick some of the benchmarks; the default is all.
# The group boot runs alone, in the booted sandbox (sandbox.sh --debs DIR
# --boot), where systemd starts the packaged daemon through its unit.
set -euo pipefail

[ -n "${VEXA_SANDBOX:-}" ] || { echo "run-benchmarks.sh runs inside tests/e2e/sandbox.sh" >&2; exit 2; }
build=$VEXA_BUILD_DIR
state=$VEXA_SANDBOX_STATE
bench=$build/tools/bench

quick=0
if [ "${1:-}" = "--quick" ]; then
    quick=1
    shift
fi
groups=("$@")
[ ${#groups[@]} -gt 0 ] || groups=(gate whitelist copylogs burst memory window)
for group in "${groups[@]}"; do
    case $group in
        gate | whitelist | copylogs | burst | memory | window | boot) ;;
        *) echo "run-benchmarks.sh: unknown group $group" >&2; exit 2 ;;
    esac
done
selected() { [[ " ${groups[*]} " == *" $1 "* ]]; }
rounds() { if [ "$quick" -eq 1 ]; then echo "$2"; else echo "$1"; fi; }

note() { echo "bench: $*" >&2; }

. "$(dirname "${BASH_SOURCE[0]}")/../tools/lib.sh"
WORK=$state
trap stop_pids EXIT

rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }

tool=$bench/vexa-bench-tool
samples=$state/samples
mkdir -p "$samples"
# The test caller stands at the permitted program paths, where the daemon
# serves it as it serves the runtime's own programs; --timing times its calls.
caller=/usr/bin/tarvo-vexa-window
manager=/usr/bin/tarvo-vexa-manager
daemon=/usr/bin/tarvo-vexa-settings-daemon
name=cn.selvane.Vexa.Pref
# A call that passes the caller check and then stops before any file work:
# an empty log path is refused at once.
gated=(copyLogFiles "" "" "")

# stop_daemon PID: ends the daemon the sandbox started, by its own method.
stop_daemon() {
    local pid=$1
    "$manager" --no-wait quilt
    wait_for 10 sh -c "! kill -0 $pid" || { echo "the daemon did not end" >&2; exit 1; }
}

# --- the bus and the caller check ------------------------------------------
bench_gate() {
    local runs
    runs=$(rounds 3000 200)
    note "gated call vs Peer.Ping"
    [ "$("$caller" "${gated[@]}")" = -1 ] ||
        { echo "gate: the daemon did not answer as a permitted caller expects" >&2; exit 1; }
    "$caller" --timing --repeat 50 --ping >/dev/null
    "$caller" --timing --repeat 50 "${gated[@]}" >/dev/null
    "$caller" --timing --repeat "$runs" --ping >"$samples/ping"
    "$caller" --timing --repeat "$runs" "${gated[@]}" >"$samples/gated"
    "$tool" result gate-ping median - "$samples/ping" "$samples/gated" "Gated call without file work vs Peer.Ping"

    # An oversized argument, from sending to the answer: a 4 MiB path that
    # must be refused without any file work. In a batch, so that the argument
    # needs no command line; the first call warms up.
    local big
    note "oversized call vs gated call"
    big=$(head -c $((4 * 1024 * 1024)) /dev/zero | tr '\0' x)
    for _ in $(seq $(($(rounds 50 5) + 1))); do
        printf '["setPhoneInfo","/var/lib/vexa/%s","v","b","n","m","e","s","i"]\n' "$big"
    done | "$caller" --timing --batch - | tail -n +2 >"$samples/oversized-replies"
    awk '$2 != "false" { bad = 1 } END { exit bad || NR == 0 }' "$samples/oversized-replies" ||
        { echo "gate: an oversized call was not refused" >&2; exit 1; }
    awk '{ print $1 }' "$samples/oversized-replies" >"$samples/oversized"
    "$tool" result oversized median - "$samples/gated" "$samples/oversized" \
        "setPhoneInfo with a 4 MiB path until refused vs the gated call"

    # The same call answered by a slot that does nothing, on the main thread
    # as the daemon answers: what is left over it is the daemon's own work
    # (the caller check). The slot's owner takes the daemon's name in turns
    # with the daemon, block by block, so that both meet the machine alike.
    local served owner block
    note "gated call vs a minimal Qt slot, in turns"
    : >"$samples/gated"
    : >"$samples/slot"
    : >"$samples/slot-ping"
    for block in 1 2 3; do
        "$caller" --timing --repeat "$((runs / 3))" "${gated[@]}" >>"$samples/gated"
        served=$(pidof tarvo-vexa-settings-daemon)
        stop_daemon "$served"
        "$bench/vexa-bench-name-owner" --slot "$name" &
        owner=$!
        /usr/bin/vexa-pref-call --wait-name 10 || { echo "gate: the minimal slot did not take the name" >&2; exit 1; }
        [ "$("$caller" "${gated[@]}")" = -1 ] || { echo "gate: the minimal slot did not answer" >&2; exit 1; }
        "$caller" --timing --repeat 50 "${gated[@]}" >/dev/null
        "$caller" --timing --repeat "$((runs / 3))" "${gated[@]}" >>"$samples/slot"
        "$caller" --timing --repeat "$((runs / 3))" --ping >>"$samples/slot-ping"
        kill "$owner"
        wait "$owner" 2>/dev/null || true
        "$daemon" >>"$state/bench-daemon.out" 2>&1 &
        /usr/bin/vexa-pref-call --wait-name 10 || { echo "gate: the daemon did not take its name again" >&2; exit 1; }
        "$caller" --timing --repeat 50 "${gated[@]}" >/dev/null
    done
    "$tool" result gate median 1.5 "$samples/slot" "$samples/gated" \
        "Gated call without file work vs a minimal Qt slot on the main thread (in turns)"
    "$tool" result slot-ping median - "$samples/slot-ping" "$samples/slot" \
        "The minimal Qt slot vs Peer.Ping to it"
    awk -v g="$("$tool" median "$samples/gated")" -v s="$("$tool" median "$samples/slot")" 'BEGIN {
        printf "INFO The caller check and argument checks cost %.1f µs a call over the minimal slot\n", (g - s) / 1000 }'

    bench_refused_environment
}

# cpu_ns PID: the CPU time all threads of PID have had so far, in ns.
cpu_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ sum += $1 } END { printf "%.0f\n", sum }'; }

# What a refused call costs the daemon, with the caller's environment as the
# sandbox has it and with about 6 MiB more: the daemon's CPU time over a
# batch of calls from one connection of a program that is not permitted,
# per call, in rounds taking turns.
bench_refused_environment() {
    local calls rounds served round kind before after big vars=() mib
    calls=$(rounds 1000 200)
    rounds=$(rounds 7 3)
    note "refused calls with a 6 MiB environment vs a small one, $rounds rounds of $calls"
    printf '["setVexaAutoStart","maybe"]\n%.0s' $(seq "$calls") >"$samples/refused-batch"
    # 48 variables of 128,000 bytes: the kernel takes at most 6 MiB of
    # arguments and environment, and that only with an unlimited stack.
    big=$(head -c 128000 /dev/zero | tr '\0' x)
    for i in $(seq 48); do vars+=("BIG$i=$big"); done
    mib=$(awk -v b=$((48 * (128000 + 7) + $(env | wc -c))) 'BEGIN { printf "%.1f", b / 1048576 }')
    : >"$samples/refused-small"
    : >"$samples/refused-big"
    served=$(pidof tarvo-vexa-settings-daemon)
    # The log's lines of the minute are spent first, so that both meet a log
    # that drops them. A batch with refusals ends with status 1.
    /usr/bin/vexa-pref-call --batch "$samples/refused-batch" >/dev/null || true
    for ((round = 0; round < rounds; round++)); do
        for kind in small big; do
            before=$(cpu_ns "$served")
            if [ "$kind" = small ]; then
                /usr/bin/vexa-pref-call --batch "$samples/refused-batch" >"$samples/refused-replies" || true
            else
                (ulimit -s unlimited && exec env "${vars[@]}" /usr/bin/vexa-pref-call --batch \
                    "$samples/refused-batch") >"$samples/refused-replies" || true
            fi
            after=$(cpu_ns "$served")
            [ "$(grep -c 'error: org.freedesktop.DBus.Error.AccessDenied' "$samples/refused-replies")" -eq "$calls" ] ||
                { echo "gate: a call with the $kind environment was not refused as it should" >&2; exit 1; }
            echo $(((after - before) / calls)) >>"$samples/refused-$kind"
        done
    done
    "$tool" result refused-environment median 2.0 "$samples/refused-small" "$samples/refused-big" \
        "The daemon's CPU time per refused call with a $mib MiB environment vs a small one (one connection, $calls calls a round)"
}

# --- whitelist edits ------------------------------------------------------------
# pair_sums: the sums of the first numbers of each two lines on stdin, leaving
# out the first two lines (the round that warms the cache and the daemon up).
pair_sums() {
    awk 'NR > 2 { sum += $1 } NR > 2 && NR % 2 == 0 { print sum; sum = 0 }'
}

bench_whitelist() {
    local entries runs path=/usr/share/vexa/games.json probe=com.example.bench.probe
    local floor measured gate ping line editor rewriter goal
    mkdir -p /usr/share/vexa
    # The largest list, 70,000 entries, is about 7.5 MB: within the 8 MiB
    # the daemon edits, with the probe added.
    for entries in 10 10000 70000; do
        case $entries in
            10) runs=$(rounds 300 20) ;;
            10000) runs=$(rounds 40 5) ;;
            *) runs=$(rounds 11 3) ;;
        esac
        note "whitelist of $entries entries, $runs rounds"
        "$tool" whitelist "$path" "$entries" || { echo "whitelist: cannot write $path" >&2; exit 1; }
        # Floor and edit take turns on the same file in the same states
        # (without the probe, then with it), so that both see the same file
        # and cache: two warm processes, each answering one request a line.
        rm -f "$samples"/edit-in "$samples"/edit-out "$samples"/rewrite-in "$samples"/rewrite-out
        mkfifo "$samples/edit-in" "$samples/edit-out" "$samples/rewrite-in" "$samples/rewrite-out"
        "$caller" --timing --batch - <"$samples/edit-in" >"$samples/edit-out" &
        editor=$!
        "$tool" rewrite "$path" - <"$samples/rewrite-in" >"$samples/rewrite-out" &
        rewriter=$!
        exec 5>"$samples/edit-in" 6<"$samples/edit-out" 7>"$samples/rewrite-in" 8<"$samples/rewrite-out"
        : >"$samples/edits"
        : >"$samples/rewrites"
        for _ in $(seq $((runs + 1))); do
            for edit in "[\"addGameToWhiteList\",\"Bench probe\",\"$probe\"]" \
                "[\"removeGameFromWhiteList\",\"$probe\"]"; do
                echo >&7 && read -r line <&8 && echo "$line" >>"$samples/rewrites" &&
                    echo "$edit" >&5 && read -r line <&6 && echo "$line" >>"$samples/edits" ||
                    { echo "whitelist: no answer" >&2; exit 1; }
            done
        done
        exec 5>&- 6<&- 7>&- 8<&-
        wait "$editor" "$rewriter"
        awk '$2 != "true" { bad = 1 } END { exit bad }' "$samples/edits" && ! grep -q "$probe" "$path" ||
            { echo "whitelist: an edit did not do what it should" >&2; exit 1; }
        # A Ping does not depend on the file: timed in one run.
        "$caller" --timing --repeat $((2 * runs + 2)) --ping >"$samples/pings"
        paste -d' ' "$samples/pings" "$samples/rewrites" | awk '{ print $1 + $2 }' | pair_sums >"$samples/floors"
        pair_sums <"$samples/edits" >"$samples/pairs"
        goal=1.5
        [ "$entries" -gt 10 ] || goal=1.3
        "$tool" result "whitelist-$entries" median "$goal" "$samples/floors" "$samples/pairs" \
            "Add+remove on a whitelist of $entries vs 2 x (Ping + Qt read/parse/serialise/atomic write)"
        # The caller check's own cost, which the floor leaves out: a gated
        # call without file work against a Ping.
        "$caller" --timing --repeat "$runs" "${gated[@]}" >"$samples/gated"
        "$caller" --timing --repeat "$runs" --ping >"$samples/ping"
        floor=$("$tool" median "$samples/floors")
        measured=$("$tool" median "$samples/pairs")
        gate=$("$tool" median "$samples/gated")
        ping=$("$tool" median "$samples/ping")
        awk -v n="$entries" -v f="$floor" -v m="$measured" -v g="$gate" -v p="$ping" 'BEGIN {
            check = g - p; if (check < 0) check = 0
            printf "INFO Whitelist of %d: the caller check costs %.1f µs a call over a Ping;", n, check / 1000
            printf " with it added to the floor the ratio is %.2fx\n", m / (f + 2 * check) }'
    done
}

# --- log collection -------------------------------------------------------------
# reset_collection DIR USER: an empty collection folder and no archive, so
# that every round copies and zips from scratch. The folder and its VexaLog
# parent are the user's, as the front end makes them.
reset_collection() {
    rm -rf "$1.zip" "$1"
    mkdir -p "$1"
    chown "$2:" "$(dirname "$1")" "$1"
}

bench_copylogs() {
    local user=benchuser uid data logdir runs i turn who script start ns size mib rounds_beside
    local daemon_size=0 shell_size=0
    useradd --create-home "$user"
    uid=$(id -u "$user")
    data=/var/lib/vexa/vexa-$uid-$user/data
    logdir=/home/$user/VexaLog/bench
    note "generating the logs"
    "$tool" gen-logs "$data" /var/log/vexa.log "$(rounds 50 10)"
    note "copyLogFiles vs a shell"
    runs=$(rounds 7 3)
    script=$("$tool" collect-script "$user" "$data" /var/log/vexa.log "$logdir")
    : >"$samples/daemon"
    : >"$samples/shell"
    for ((i = -1; i < runs; i++)); do
        # Alternate which goes first, so neither always meets a warmer cache.
        for turn in 0 1; do
            who=shell
            [ $(((turn == 0) == (i % 2 == 0))) -eq 1 ] && who=daemon
            reset_collection "$logdir" "$user"
            sync
            if [ "$who" = daemon ]; then
                ns=$("$caller" --timing --timeout 600000 copyLogFiles "$user" "$uid" "$logdir") || ns=
            else
                start=${EPOCHREALTIME/./}
                sh -c "$script" >&2 && ns=$(((${EPOCHREALTIME/./} - start) * 1000)) || ns=
            fi
            size=$(stat -c %s "$logdir.zip" 2>/dev/null || echo 0)
            [ -n "$ns" ] && [ "$size" -gt 0 ] || { echo "copylogs: the $who run failed" >&2; exit 1; }
            [ "$i" -ge 0 ] || continue
            echo "$ns" >>"$samples/$who"
            if [ "$who" = daemon ]; then daemon_size=$size; else shell_size=$size; fi
        done
    done
    # Both must have done the same work: archives of the same size, give or
    # take the time stamps zip stores.
    [ $(((daemon_size - shell_size) * 100 / daemon_size)) -eq 0 ] ||
        { echo "copylogs: archives differ: daemon $daemon_size, shell $shell_size" >&2; exit 1; }
    mib=$(find "$data" /var/log/vexa.log -type f -printf '%s\n' | awk '{ s += $1 } END { printf "%.0f", s / 1048576 }')
    "$tool" result copylogs median 1.2 "$samples/shell" "$samples/daemon" \
        "copyLogFiles on $mib MiB of logs vs the same tools run by a shell"

    # How fast the daemon answers while it collects: the gated call, which
    # passes its main thread and the caller check (a Peer.Ping is answered
    # by the bus library on its own thread and would show nothing), back to
    # back during a few collections, against the same call idle just before
    # each, so that both meet the machine in the same mood.
    : >"$samples/idle"
    : >"$samples/during"
    rounds_beside=$((runs / 2 > 1 ? runs / 2 : 1))
    for ((i = 0; i < rounds_beside; i++)); do
        reset_collection "$logdir" "$user"
        "$caller" --timing --repeat 1000 "${gated[@]}" >>"$samples/idle" ||
            { echo "copylogs: the idle call failed" >&2; exit 1; }
        "$caller" --timing --timeout 600000 --beside "[\"copyLogFiles\",\"$user\",\"$uid\",\"$logdir\"]" \
            "${gated[@]}" >>"$samples/during" 2>"$samples/beside" && grep -qx 'beside: 0' "$samples/beside" ||
            { echo "copylogs: the collection beside the calls failed" >&2; exit 1; }
    done
    "$tool" result copylogs-p99 p99 3 "$samples/idle" "$samples/during" \
        "p99 of a gated call during copyLogFiles vs idle"

    # The same while one user's collection is held: its tool is stopped, so
    # the collection does not finish until it is let go.
    local collector held
    note "gated call while a collection is held"
    reset_collection "$logdir" "$user"
    "$caller" --timing --repeat "$(rounds 3000 300)" "${gated[@]}" >"$samples/idle" ||
        { echo "copylogs: the idle call failed" >&2; exit 1; }
    "$caller" --timeout 600000 copyLogFiles "$user" "$uid" "$logdir" >"$samples/held-reply" &
    collector=$!
    held=$(stop_tool_of "$user") || { echo "copylogs: no tool of the collection to hold" >&2; exit 1; }
    "$caller" --timing --repeat "$(rounds 3000 300)" "${gated[@]}" >"$samples/held" ||
        { echo "copylogs: the call beside the held collection failed" >&2; exit 1; }
    stopped "$held" || { echo "copylogs: the held tool went on" >&2; exit 1; }
    kill -CONT "$held"
    wait "$collector" && [ "$(cat "$samples/held-reply")" = 0 ] ||
        { echo "copylogs: the held collection failed once let go" >&2; exit 1; }
    "$tool" result held-p99 p99 3 "$samples/idle" "$samples/held" \
        "p99 of a gated call while a collection is held (its tool stopped) vs idle"
}

# process_state PID: the one-letter state of the process (T when stopped).
process_state() { sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f1; }
stopped() { [ "$(process_state "$1")" = T ]; }

# stop_tool_of USER: stops (SIGSTOP) a tool that the daemon runs as USER, as
# soon as one runs, and prints its pid.
stop_tool_of() {
    local pid deadline=$((SECONDS + 120))
    while [ "$SECONDS" -lt "$deadline" ]; do
        for pid in $(pgrep -u "$1"); do
            kill -STOP "$pid" 2>/dev/null && wait_for 5 stopped "$pid" && { echo "$pid"; return 0; }
        done
        sleep 0.01
    done
    return 1
}

# --- resident memory --------------------------------------------------------------

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
    printf '%s\n' "${owner_rss[@]}" >"$samples/owner-rss"
    printf '%s\n' "${daemon_rss[@]}" >"$samples/daemon-rss"
    echo "RESULT rss $("$tool" median "$samples/owner-rss") $("$tool" median "$samples/daemon-rss") KiB 1.2 $runs" \
        "Idle daemon's resident memory vs a minimal QtDBus name owner"
}

# --- one sender's burst -------------------------------------------------------
# Another user's gated calls, one after another, while one connection of a
# program with a 6 MiB environment sends 20,000 calls flagged no-reply, against
# her own calls on the idle daemon.
bench_burst() {
    local runs i flood alice=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
    runs=$(rounds 5 1)
    note "another user's call during one sender's burst of 20,000 no-reply calls"
    "${alice[@]}" "$caller" --timing --repeat 50 "${gated[@]}" >/dev/null
    "${alice[@]}" "$caller" --timing --repeat "$(rounds 1000 200)" "${gated[@]}" >"$samples/burst-idle"
    : >"$samples/burst-during"
    for ((i = 0; i < runs; i++)); do
        "$manager" --big-environment 6 --timeout 600000 --flood 20000 "${gated[@]}" \
            >"$samples/flood-reply" 2>"$samples/flood-log" &
        flood=$!
        wait_for 60 grep -q 'calls sent' "$samples/flood-log" ||
            { echo "burst: the flood was not sent" >&2; exit 1; }
        # Her calls until the flood's last call is answered; each must be.
        while kill -0 "$flood" 2>/dev/null; do
            "${alice[@]}" "$caller" --timing --timeout 10000 --repeat 10 "${gated[@]}" >>"$samples/burst-during" ||
                { echo "burst: another user's call failed during the burst" >&2; exit 1; }
        done
        wait "$flood" || grep -q LimitsExceeded "$samples/flood-reply" ||
            { echo "burst: the flood's last call was not answered" >&2; exit 1; }
    done
    "$tool" result burst median - "$samples/burst-idle" "$samples/burst-during" \
        "Another user's gated call during one sender's burst of 20,000 no-reply calls (6 MiB environment), median vs idle"
    echo "RESULT burst-max $("$tool" median "$samples/burst-idle") $(sort -n "$samples/burst-during" | tail -n 1)" \
        "ns - $(wc -l <"$samples/burst-during") The same calls' slowest vs her idle median"
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

# --- the packages booted, beside the system's own bus service ---------------------
# systemd-hostnamed: bus-activated by systemd like the daemon, on the same
# machine in the same run.
unit=tarvo-vexa-settings-daemon
hostnamed=(--to org.freedesktop.hostname1 /org/freedesktop/hostname1 org.freedesktop.DBus.Properties)
hostname_get=("${hostnamed[@]}" Get org.freedesktop.hostname1 Hostname)

# stop_unit UNIT NAME: stops UNIT and waits until the bus has let its NAME go,
# so that the next call activates it afresh.
stop_unit() {
    systemctl stop "$1"
    wait_for 30 sh -c "busctl --system call org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus NameHasOwner s $2 | grep -qx 'b false'" ||
        { echo "boot: $2 stayed on the bus" >&2; exit 1; }
}

unit_rss() { rss_kib "$(systemctl show -p MainPID --value "$1")"; }

# activate_daemon: stops the daemon and starts it again with a gated call;
# prints the call's round trip in ns.
activate_daemon() {
    local ns
    stop_unit "$unit" "$name"
    sync
    ns=$("$caller" --timing "${gated[@]}") && [ "$(systemctl is-active "$unit")" = active ] ||
        { echo "boot: the daemon's unit did not start" >&2; exit 1; }
    echo "$ns"
}

bench_boot() {
    local runs i ns user=benchuser uid data logdir path=/usr/share/vexa/games.json probe=com.example.bench.probe
    [ "${VEXA_SANDBOX_BOOTED:-0}" = 1 ] || { echo "boot: this sandbox did not boot systemd" >&2; exit 1; }
    # Each activation swings by ±15 ms with what systemd does around it, for
    # both services alike: 15 rounds for the median.
    runs=$(rounds 15 3)
    note "activation, $runs rounds each, alternating"
    : >"$samples/act-daemon"
    : >"$samples/act-hostnamed"
    : >"$samples/start-daemon"
    : >"$samples/start-hostnamed"
    # The first round warms the page cache for both.
    for ((i = -1; i < runs; i++)); do
        ns=$(activate_daemon)
        sleep 1
        [ "$i" -ge 0 ] && echo "$ns" >>"$samples/act-daemon" && unit_rss "$unit" >>"$samples/start-daemon"
        stop_unit systemd-hostnamed org.freedesktop.hostname1
        sync
        ns=$("$caller" --timing "${hostname_get[@]}") || { echo "boot: hostnamed did not answer" >&2; exit 1; }
        sleep 1
        [ "$i" -ge 0 ] && echo "$ns" >>"$samples/act-hostnamed" && unit_rss systemd-hostnamed >>"$samples/start-hostnamed"
    done
    "$tool" result boot-activation median 1.0 "$samples/act-hostnamed" "$samples/act-daemon" \
        "First call after the unit was stopped, until the answer (activation) vs systemd-hostnamed's"
    echo "RESULT boot-rss $("$tool" median "$samples/start-hostnamed") $("$tool" median "$samples/start-daemon")" \
        "KiB - $runs Resident memory 1 s after start vs systemd-hostnamed's"

    # Warm: both running, blocks taking turns (hostnamed leaves after 30 s idle,
    # and a block takes far less).
    note "warm gated call vs hostnamed's Get of Hostname"
    : >"$samples/warm-daemon"
    : >"$samples/warm-hostnamed"
    "$caller" --timing --repeat 50 "${gated[@]}" >/dev/null
    "$caller" --timing --repeat 50 "${hostname_get[@]}" >/dev/null
    for _ in 1 2 3; do
        "$caller" --timing --repeat "$(rounds 1000 100)" "${gated[@]}" >>"$samples/warm-daemon"
        "$caller" --timing --repeat "$(rounds 1000 100)" "${hostname_get[@]}" >>"$samples/warm-hostnamed"
    done
    "$tool" result boot-warm median 2.0 "$samples/warm-hostnamed" "$samples/warm-daemon" \
        "Warm gated call vs systemd-hostnamed's Get of Hostname"

    # Idle again after large calls: each round a fresh daemon, its size 1 s
    # after start, then 2 s after the large call.
    runs=$(rounds 7 3)
    note "resident memory after a 70,000-entry edit"
    mkdir -p /usr/share/vexa
    "$tool" whitelist "$path" 70000 || { echo "boot: cannot write $path" >&2; exit 1; }
    : >"$samples/edit-start"
    : >"$samples/edit-idle"
    for ((i = 0; i < runs; i++)); do
        activate_daemon >/dev/null
        sleep 1
        unit_rss "$unit" >>"$samples/edit-start"
        [ "$("$caller" addGameToWhiteList "Bench probe" "$probe")" = true ] &&
            [ "$("$caller" removeGameFromWhiteList "$probe")" = true ] ||
            { echo "boot: the edit failed" >&2; exit 1; }
        sleep 2
        unit_rss "$unit" >>"$samples/edit-idle"
    done
    echo "RESULT boot-rss-edit $("$tool" median "$samples/edit-start") $("$tool" median "$samples/edit-idle")" \
        "KiB 1.2 $runs Resident memory idle after adding to and removing from a 70,000-entry whitelist vs after start"

    note "resident memory after a collection"
    useradd --create-home "$user"
    uid=$(id -u "$user")
    data=/var/lib/vexa/vexa-$uid-$user/data
    logdir=/home/$user/VexaLog/bench
    "$tool" gen-logs "$data" /var/log/vexa.log "$(rounds 50 10)"
    : >"$samples/collect-start"
    : >"$samples/collect-idle"
    for ((i = 0; i < runs; i++)); do
        reset_collection "$logdir" "$user"
        activate_daemon >/dev/null
        sleep 1
        unit_rss "$unit" >>"$samples/collect-start"
        [ "$("$caller" --timeout 600000 copyLogFiles "$user" "$uid" "$logdir")" = 0 ] && [ -s "$logdir.zip" ] ||
            { echo "boot: the collection failed" >&2; exit 1; }
        sleep 2
        unit_rss "$unit" >>"$samples/collect-idle"
    done
    echo "RESULT boot-rss-collect $("$tool" median "$samples/collect-start") $("$tool" median "$samples/collect-idle")" \
        "KiB 1.2 $runs Resident memory idle after a collection of $(rounds 50 10) MiB vs after start"
    echo "INFO Resident memory after start, KiB: daemon $(tr '\n' ' ' <"$samples/start-daemon")/ hostnamed" \
        "$(tr '\n' ' ' <"$samples/start-hostnamed")/ before the edits $(tr '\n' ' ' <"$samples/edit-start")/" \
        "after them $(tr '\n' ' ' <"$samples/edit-idle")/ before the collections $(tr '\n' ' ' <"$samples/collect-start")/" \
        "after them $(tr '\n' ' ' <"$samples/collect-idle")"
}

# The memory figures stop the daemon the sandbox started, so they come after
# the other daemon benchmarks. The group boot runs on its own.
for group in gate whitelist copylogs burst memory window boot; do
    if selected "$group"; then
        "bench_$group"
    fi
done
