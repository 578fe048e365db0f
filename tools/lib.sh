# Shell pieces shared by the sensor window's end-to-end tests, the demo, the
# benchmarks and the screenshot tool: waiting for a condition, a private X
# server on a free display, a window manager, a session bus and the stand-in
# sensor service. Source it (bash). The caller sets WORK, a folder for the
# logs; every process started here is added to PIDS, which stop_pids ends.
# A failure calls fail MESSAGE, which the caller may define before or after
# sourcing (the default prints it and exits 1). Safe under set -eu.

PIDS=()

declare -F fail >/dev/null || fail() {
    echo "$*" >&2
    exit 1
}

# The limit, in seconds, of a wait for something that eventually happens: it
# costs time only when a test fails anyway, and a loaded machine can be slow
# beyond any short guess. Checks that something does NOT happen keep short
# windows of their own.
WAIT_LIMIT=180

# wait_for SECONDS COMMAND...: polls until COMMAND succeeds; 1 on time-out.
wait_for() {
    local seconds=$1
    shift
    local deadline=$((SECONDS + seconds))
    until "$@" >/dev/null 2>&1; do
        [ "$SECONDS" -ge "$deadline" ] && return 1
        sleep 0.05
    done
}

# stop_pids: ends the processes of PIDS, the last started first, killing
# those that do not end within 5 s.
stop_pids() {
    local pid i
    for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do
        pid=${PIDS[i]}
        kill -CONT "$pid" 2>/dev/null || true
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in "${PIDS[@]}"; do
        for _ in $(seq 50); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    PIDS=()
}

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
        local deadline=$((SECONDS + WAIT_LIMIT))
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

# start_wm DISPLAY: a window manager, so windows can be minimized, activated
# and framed.
start_wm() {
    DISPLAY=$1 openbox --sm-disable >"$WORK/openbox.err" 2>&1 &
    PIDS+=("$!")
    wait_for "$WAIT_LIMIT" sh -c "DISPLAY=$1 xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id'" ||
        fail "window manager did not start on $1"
}

# start_bus: a private session bus; exports DBUS_SESSION_BUS_ADDRESS.
start_bus() {
    dbus-daemon --session --nofork --nosyslog --print-address=3 3>"$WORK/bus.address" 2>"$WORK/bus.err" &
    PIDS+=("$!")
    wait_for "$WAIT_LIMIT" test -s "$WORK/bus.address" || fail "session bus did not start"
    DBUS_SESSION_BUS_ADDRESS=$(head -n 1 "$WORK/bus.address")
    export DBUS_SESSION_BUS_ADDRESS
}

sensor_registered() {
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner string:com.tarvo.Vexa.sensor | grep -q 'boolean true'
}

# start_sensor PROGRAM RECORD [ARGS...]: the stand-in sensor service PROGRAM
# (vexa-fake-sensor) on the session bus, recording every text to RECORD.
start_sensor() {
    local program=$1 record=$2
    shift 2
    : >"$record"
    "$program" --record "$record" "$@" >"$WORK/sensor.out" 2>"$WORK/sensor.err" &
    PIDS+=("$!")
    wait_for "$WAIT_LIMIT" sensor_registered || fail "stand-in sensor service did not register"
}

# framed_geometry WINDOW: the window's place on $DISPLAY widened by the frame
# the window manager drew, as WIDTHxHEIGHT+X+Y for `import -crop`.
framed_geometry() {
    local info x y width height left right top bottom
    info=$(xwininfo -id "$1")
    x=$(sed -n 's/.*Absolute upper-left X: *//p' <<<"$info")
    y=$(sed -n 's/.*Absolute upper-left Y: *//p' <<<"$info")
    width=$(sed -n 's/^ *Width: *//p' <<<"$info")
    height=$(sed -n 's/^ *Height: *//p' <<<"$info")
    read -r left right top bottom < <(xprop -id "$1" _NET_FRAME_EXTENTS 2>/dev/null |
        sed -n 's/.*= *\([0-9]*\), *\([0-9]*\), *\([0-9]*\), *\([0-9]*\)/\1 \2 \3 \4/p') || true
    left=${left:-0} right=${right:-0} top=${top:-0} bottom=${bottom:-0}
    echo "$((width + left + right))x$((height + top + bottom))+$((x - left))+$((y - top))"
}
