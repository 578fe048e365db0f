#!/usr/bin/env bash
# The screenshot tool makes a picture of the whole window, not of an empty screen.
# usage: screenshot-check.sh SCREENSHOT_TOOL PROGRAM
set -u
out=$(mktemp --suffix=.png /tmp/vexa-screenshot-check.XXXXXX)
trap 'rm -f "$out"' EXIT
bash "$1" "$2" "$out" || { echo "FAIL: screenshot tool failed"; exit 1; }
read -r width height deviation < <(convert "$out" -format '%w %h %[fx:standard_deviation]' info:)
echo "picture: ${width}x${height}, standard deviation $deviation"
[ "$width" -ge 400 ] && [ "$height" -ge 400 ] || { echo "FAIL: smaller than the 400 x 400 window"; exit 1; }
awk -v d="$deviation" 'BEGIN { exit !(d > 0.02) }' || { echo "FAIL: picture is (nearly) uniform"; exit 1; }
echo PASS
