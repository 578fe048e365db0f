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

work=$(mktemp -d /tmp/vexa-screenshot.XXXXXX)
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# wait_for SECONDS COMMAND...
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@" >/dev/null 2>&1; do
        [ "$SECONDS" -ge "$deadline" ] && return 1
        sleep 0.05
    done
}

display=
for n in $(seq 90 160); do
    if [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; then continue; fi
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp -noreset >"$work/xvfb.err" 2>&1 &
    pids+=("$!")
    if wait_for 10 xdpyinfo -display ":$n"; then
        display=":$n"
        break
    fi
done
[ -n "$display" ] || { echo "no X server could be started" >&2; exit 1; }
export DISPLAY=$display

if command -v openbox >/dev/null; then
    openbox --sm-disable >"$work/openbox.err" 2>&1 &
    pids+=("$!")
    wait_for 10 sh -c "xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id'" ||
        { echo "openbox did not start" >&2; cat "$work/openbox.err" >&2; exit 1; }
fi

# A home of its own (the lock file) on a display of its own (the single-instance
# id), so a simulator the user already runs neither blocks this one nor is
# brought up by it. The runtime directory is only there for Qt.
mkdir -p "$work/home/.config" && mkdir -m 700 "$work/runtime"
HOME="$work/home" XDG_RUNTIME_DIR="$work/runtime" LANG=${LANG:-C.UTF-8} \
    "$program" >"$work/program.out" 2>"$work/program.err" &
pid=$!
pids+=("$pid")
wait_for 15 xdotool search --onlyvisible --pid "$pid" --class tarvo-vexa-sensorwindow ||
    { echo "the window did not appear" >&2; cat "$work/program.err" >&2; exit 1; }
window=$(xdotool search --onlyvisible --pid "$pid" --class tarvo-vexa-sensorwindow | head -n 1)
if [ -n "$(command -v openbox)" ]; then
    # The window can show up before the window manager has framed it.
    wait_for 10 sh -c "xprop -id $window _NET_FRAME_EXTENTS | grep -q '= '" ||
        { echo "the window manager did not frame the window" >&2; exit 1; }
fi
# No event tells when the first paint is on the screen; give it a moment.
sleep 0.5

# The client area's place on the screen, widened by the frame the window manager drew.
info=$(xwininfo -id "$window")
X=$(sed -n 's/.*Absolute upper-left X: *//p' <<<"$info")
Y=$(sed -n 's/.*Absolute upper-left Y: *//p' <<<"$info")
WIDTH=$(sed -n 's/^ *Width: *//p' <<<"$info")
HEIGHT=$(sed -n 's/^ *Height: *//p' <<<"$info")
read -r left right top bottom < <(xprop -id "$window" _NET_FRAME_EXTENTS 2>/dev/null |
    sed -n 's/.*= *\([0-9]*\), *\([0-9]*\), *\([0-9]*\), *\([0-9]*\)/\1 \2 \3 \4/p')
left=${left:-0} right=${right:-0} top=${top:-0} bottom=${bottom:-0}
geometry="$((WIDTH + left + right))x$((HEIGHT + top + bottom))+$((X - left))+$((Y - top))"
import -window root -crop "$geometry" +repage "$output" || exit 1
echo "$output: $geometry"
