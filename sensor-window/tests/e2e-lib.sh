# Shared pieces of the sensor window's end-to-end tests: a private X server,
# window manager, session bus and home, all torn down when the test ends.
# Source it; it sets WORK, HOME and XDG_RUNTIME_DIR and traps EXIT.

set -u

. "$(dirname "${BASH_SOURCE[0]}")/../../tools/lib.sh"

WORK=$(mktemp -d /tmp/vexa-sensorwindow-e2e.XXXXXX)

cleanup() {
    stop_pids
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
    wait_for "$WAIT_LIMIT" visible_windows "$display" "$WINDOW_PID" || fail "$name: no window appeared"
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
