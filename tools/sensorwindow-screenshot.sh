#!/usr/bin/env bash
# Takes a PNG picture of the sensor window, with its title bar, on a private
# Xvfb display (with openbox as window manager when it is installed).
#
# usage: sensorwindow-screenshot.sh PROGRAM OUTPUT.png
#   PROGRAM  the tarvo-vexa-sensorwindow executable
# needs: Xvfb, xdotool, xprop, xwininfo, xdpyinfo, ImageMagick's import

set -u
if [ $# -ne 2 ]; then
    echo "usage: $0 PROGRAM OUTPUT.png" >&2
    exit 64
fi
program=$1
output=$2

. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
WORK=$(mktemp -d /tmp/vexa-screenshot.XXXXXX)
trap 'stop_pids; rm -rf "$WORK"' EXIT
trap 'exit 130' INT TERM

start_display
export DISPLAY=$XDISPLAY
if command -v openbox >/dev/null; then
    start_wm "$DISPLAY"
fi

# A home of its own (the lock file) on a display of its own (the single-instance
# id), so a simulator the user already runs neither blocks this one nor is
# brought up by it. The runtime directory is only there for Qt.
mkdir -p "$WORK/home/.config" && mkdir -m 700 "$WORK/runtime"
HOME="$WORK/home" XDG_RUNTIME_DIR="$WORK/runtime" LANG=${LANG:-C.UTF-8} \
    "$program" >"$WORK/program.out" 2>"$WORK/program.err" &
pid=$!
PIDS+=("$pid")
wait_for "$WAIT_LIMIT" xdotool search --onlyvisible --pid "$pid" --class tarvo-vexa-sensorwindow ||
    { echo "the window did not appear" >&2; cat "$WORK/program.err" >&2; exit 1; }
window=$(xdotool search --onlyvisible --pid "$pid" --class tarvo-vexa-sensorwindow | head -n 1)
if [ -n "$(command -v openbox)" ]; then
    # The window can show up before the window manager has framed it.
    wait_for "$WAIT_LIMIT" sh -c "xprop -id $window _NET_FRAME_EXTENTS | grep -q '= '" ||
        { echo "the window manager did not frame the window" >&2; exit 1; }
fi
# No event tells when the first paint is on the screen; give it a moment.
sleep 0.5

geometry=$(framed_geometry "$window")
import -window root -crop "$geometry" +repage "$output" || exit 1
echo "$output: $geometry"
