# Shared pieces of the sensor window's end-to-end tests: a private X server,
# window manager, session bus and home, all torn down when the test ends.
# Source it; it sets WORK, HOME and XDG_RUNTIME_DIR and traps EXIT.

set -u

WORK=$(mktemp -d /tmp/vexa-sensorwindow-e2e.XXXXXX)
PIDS=()

cleanup() {
    local pid i
    for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do
        pid=${PIDS[i]}
        kill -CONT "$pid" 2>/dev/null
        kill -TERM "$pid" 2>/dev/null
    done
    for pid in "${PIDS[@]}"; do
        for _ in $(seq 50); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    # Mount points made inside private namespaces are gone with them; the
    # directories themselves are ordinary files here.
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

fail() {
    echo "FAIL: $*" >&2
    for f in "$WORK"/*.out "$WORK"/*.err; do
        [ -s "$f" ] && { echo "--- $f" >&2; tail -n 20 "$f" >&2; }
    done
    exit 1
}

skip() {
    echo "SKIP: $*"
    exit 77
}

# wait_for SECONDS COMMAND...: polls until COMMAND succeeds; fails on timeout.
wait_for() {
    local seconds=$1
    shift
    local deadline=$((SECONDS + seconds))
    until "$@" >/dev/null 2>&1; do
        [ "$SECONDS" -ge "$deadline" ] && return 1
        sleep 0.05
    done
}

# Tests that need root for a private mount namespace skip without it, except
# in CI, where a skip would hide that they never ran.
require_root() {
    if [ "$(id -u)" -ne 0 ] || ! unshare --mount true 2>/dev/null; then
        [ "${CI:-}" = true ] && fail "needs root and mount namespaces, which CI must provide"
        skip "needs root and mount namespaces"
    fi
}

umask 022
export HOME="$WORK/home"
mkdir -p "$HOME/.config"
export XDG_RUNTIME_DIR="$WORK/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
unset XDG_CONFIG_HOME SESSION_MANAGER QT_QPA_PLATFORM DBUS_SESSION_BUS_ADDRESS
export LANG=C.UTF-8 LC_ALL=
unset LANGUAGE LC_MESSAGES

# start_display: starts Xvfb on the first free display from :90 (with no reset
# when the last client leaves, which would drop clients connecting then) and sets
# XDISPLAY to it (not through $(...): the server must be this shell's child).
start_display() {
    local n pid
    for n in $(seq 90 160); do
        if [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; then
            continue
        fi
        Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp -noreset >"$WORK/xvfb$n.err" 2>&1 &
        pid=$!
        PIDS+=("$pid")
        # Another test may take the same number at the same moment: then this
        # server exits and the next number is tried.
        local deadline=$((SECONDS + 10))
        while kill -0 "$pid" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ]; do
            if xdpyinfo -display ":$n" >/dev/null 2>&1; then
                XDISPLAY=":$n"
                return 0
            fi
            sleep 0.05
        done
    done
    fail "no X server could be started"
}

# start_wm DISPLAY: a window manager, so windows can be minimized and activated.
start_wm() {
    DISPLAY=$1 openbox --sm-disable >"$WORK/openbox.err" 2>&1 &
    PIDS+=("$!")
    wait_for 10 sh -c "DISPLAY=$1 xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id'" ||
        fail "window manager did not start on $1"
}

start_bus() {
    dbus-daemon --session --nofork --nosyslog --print-address=3 3>"$WORK/bus.address" 2>"$WORK/bus.err" &
    PIDS+=("$!")
    wait_for 10 test -s "$WORK/bus.address" || fail "session bus did not start"
    DBUS_SESSION_BUS_ADDRESS=$(head -n 1 "$WORK/bus.address")
    export DBUS_SESSION_BUS_ADDRESS
}

sensor_registered() {
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner string:com.tarvo.Vexa.sensor | grep -q 'boolean true'
}

# start_sensor [ARGS...]: the stand-in service, recording to $WORK/received.
start_sensor() {
    : >"$WORK/received"
    "$FAKE_SENSOR" --record "$WORK/received" "$@" >"$WORK/sensor.out" 2>"$WORK/sensor.err" &
    PIDS+=("$!")
    wait_for 10 sensor_registered || fail "stand-in sensor service did not register"
}

# visible_windows DISPLAY [PID]: ids of the program's visible top-level windows.
visible_windows() {
    if [ $# -gt 1 ]; then
        DISPLAY=$1 xdotool search --onlyvisible --pid "$2" --class tarvo-vexa-sensorwindow 2>/dev/null
    else
        DISPLAY=$1 xdotool search --onlyvisible --class tarvo-vexa-sensorwindow 2>/dev/null
    fi
}

# start_window DISPLAY NAME [ARGS...]: the program in the background, through
# the command in the array WINDOW_LAUNCHER if any (one that execs, so that the
# pid is the program's); sets WINDOW_PID and WINDOW_ID once its window is up.
WINDOW_LAUNCHER=()
start_window() {
    local display=$1 name=$2
    shift 2
    DISPLAY=$display "${WINDOW_LAUNCHER[@]}" "$SENSORWINDOW_BIN" "$@" >"$WORK/$name.out" 2>"$WORK/$name.err" &
    WINDOW_PID=$!
    PIDS+=("$WINDOW_PID")
    wait_for 15 visible_windows "$display" "$WINDOW_PID" || fail "$name: no window appeared"
    WINDOW_ID=$(visible_windows "$display" "$WINDOW_PID" | head -n 1)
}

# wm_state DISPLAY WINDOW: Normal, Iconic or Withdrawn.
wm_state() {
    DISPLAY=$1 xprop -id "$2" WM_STATE 2>/dev/null | sed -n 's/.*window state: *//p'
}

is_state() {
    [ "$(wm_state "$1" "$2")" = "$3" ]
}

# received_count N: the stand-in service has recorded N texts.
received_count() {
    [ "$(wc -l <"$WORK/received")" -eq "$1" ]
}

# click DISPLAY WINDOW X Y: a real pointer click at window coordinates.
click() {
    DISPLAY=$1 xdotool mousemove --window "$2" "$3" "$4" click 1
}
