#!/usr/bin/env bash
# A tour of the system as installed from its Debian packages, run by
# `scripts/run.sh demo` inside the sandbox of tests/e2e/sandbox.sh (--debs):
# the packages are installed there with dpkg, the system bus starts the daemon
# on the first call, and the test caller stands at the runtime's program
# paths. Everything it writes vanishes with the sandbox, but for a screenshot
# of the sensor window in the build folder.
set -uo pipefail

bold=$(printf '\033[1m')
plain=$(printf '\033[0m')
[ -t 1 ] || { bold=""; plain=""; }

section() { printf '\n%s== %s ==%s\n' "$bold" "$*" "$plain"; }

# call PROGRAM METHOD [ARG...]: shows the call and the daemon's answer.
call() {
    local program=$1
    shift
    printf '$ %s' "$program"
    printf " '%s'" "$@"
    printf '\n'
    "$program" "$@" | sed 's/^/  -> /'
}

show() {
    printf -- '--- %s\n' "$1"
    sed 's/^/    /' "$1"
}

daemon_pid() { pgrep -x -f /usr/bin/tarvo-vexa-settings-daemon | head -n 1; }

manager=/usr/bin/tarvo-vexa-manager
settings=/usr/bin/tarvo-vexa-settings
window=/usr/bin/tarvo-vexa-window

section "Installed from the Debian packages"
dpkg-query -W -f '${Package} ${Version}\n' tarvo-vexa-settings-daemon tarvo-vexa-sensorwindow | sed 's/^/    /'
dpkg-query -L tarvo-vexa-settings-daemon tarvo-vexa-sensorwindow |
    while read -r path; do [ -f "$path" ] && echo "    $path"; done | grep -v /usr/share/doc/
echo "Permitted callers (the test caller, copied): $settings $window $manager"

section "Manual pages (man tarvo-vexa-settings-daemon, the first lines)"
whatis tarvo-vexa-settings-daemon tarvo-vexa-sensorwindow | sed 's/^/    /'
MANPAGER=cat MANWIDTH=80 man tarvo-vexa-settings-daemon 2>&1 | sed -n '3,16p' | sed 's/^/    /'

section "The first call starts the daemon (bus activation)"
before=$(daemon_pid)
echo "daemon running before the first call: ${before:-none}"
call "$manager" setVexaAutoStart maybe
pid=$(daemon_pid)
if [ -n "$pid" ]; then
    echo "now running: pid $pid as $(ps -o user= -p "$pid"), started by the bus's launch helper with the environment:"
    tr '\0' '\n' <"/proc/$pid/environ" | sed 's/^/    /'
else
    echo "the daemon is not running"
fi

section "Game whitelist: add, add again, remove (/usr/share/vexa/games.json)"
mkdir -p /usr/share/vexa
printf '{"games": [{"appname": "Chess", "pkgname": "org.example.chess"}]}\n' >/usr/share/vexa/games.json
call "$settings" addGameToWhiteList "Tiny Racer" com.example.racer
call "$settings" addGameToWhiteList "Another name" com.example.racer
show /usr/share/vexa/games.json
call "$settings" removeGameFromWhiteList org.example.chess
show /usr/share/vexa/games.json

section "Warning list: remove an application from both lists (/usr/share/vexa/warning.json)"
printf '{"games": [{"pkgName": "com.example.racer"}], "pay": [{"pkgName": "com.example.racer"}, {"pkgName": "com.example.shop"}], "version": 2}\n' \
    >/usr/share/vexa/warning.json
call "$manager" removeAppFromWarningList com.example.racer
show /usr/share/vexa/warning.json

section "Container bridge address (/etc/docker/daemon.json keeps its other members)"
mkdir -p /etc/docker
printf '{"log-driver": "journald"}\n' >/etc/docker/daemon.json
call "$manager" setDockerDefaultIpAddress 172.18.0.1/16
call "$manager" setDockerDefaultIpAddress "not an address"
show /etc/docker/daemon.json

section "Phone identity (a property file named by the caller)"
mkdir -p /var/lib/vexa/demo
printf '# emulated phone\nro.custom.brand=Old\nro.build.version.sdk=30\n' >/var/lib/vexa/demo/vendor.prop
call "$window" setPhoneInfo /var/lib/vexa/demo/vendor.prop Selvane Vexa "Vexa One" V1 vexa1 SN0001 860000000000001
show /var/lib/vexa/demo/vendor.prop

section "Autostart entry on and off (/etc/xdg/autostart/bootlane.desktop)"
mkdir -p /etc/xdg/autostart
call "$manager" setVexaAutoStart true
show /etc/xdg/autostart/bootlane.desktop
call "$manager" setVexaAutoStart false
ls /etc/xdg/autostart/bootlane.desktop 2>&1 | sed 's/^/    /'

section "Log collection for the desktop user alice"
useradd --create-home alice 2>/dev/null
uid=$(id -u alice)
data=/var/lib/vexa/vexa-$uid-alice/data
mkdir -p "$data/klog" "$data/anr" "$data/system/dropbox" "$data/tombstones"
echo "kernel: booted" >"$data/klog/klog.txt"
echo "ANR in com.example.racer" >"$data/anr/traces.txt"
echo "dropbox entry" >"$data/system/dropbox/entry.txt"
echo "tombstone 00" >"$data/tombstones/tombstone_00"
echo "vexa runtime started" >/var/log/vexa.log
runuser -u alice -- mkdir -p /home/alice/VexaLog/run1
call "$settings" copyLogFiles alice "$uid" /home/alice/VexaLog/run1
ls -l /home/alice/VexaLog | sed 's/^/    /'
unzip -l /home/alice/VexaLog/run1.zip | sed 's/^/    /'

section "Refused callers"
call /usr/bin/vexa-pref-call addGameToWhiteList "Sneaky" com.example.sneaky
printf '$ LD_PRELOAD= %s setVexaAutoStart true\n' "$manager"
LD_PRELOAD= "$manager" setVexaAutoStart true | sed 's/^/  -> /'

section "The daemon's log (/var/log/tarvo-vexa-settings-daemon.log)"
show /var/log/tarvo-vexa-settings-daemon.log

# --- the sensor simulator ----------------------------------------------------
. "$(dirname "${BASH_SOURCE[0]}")/../tools/lib.sh"
WORK=$VEXA_SANDBOX_STATE/sensor
mkdir -p "$WORK/home/.config"
mkdir -m 700 "$WORK/runtime"
trap stop_pids EXIT

section "Sensor window and a stand-in sensor service on a session bus"
# Always a virtual display of our own (the sandbox runs as root, which may
# not use the desktop's), from the first free number on.
start_display
export DISPLAY=$XDISPLAY
start_wm "$DISPLAY"
echo "X server: Xvfb $DISPLAY with openbox"

start_bus
echo "session bus: $DBUS_SESSION_BUS_ADDRESS"

# The stand-in records every acceleration text the window passes on.
start_sensor "$VEXA_BUILD_DIR/tools/vexa-fake-sensor" "$WORK/received"
echo "stand-in sensor service: vexa-fake-sensor owns com.tarvo.Vexa.sensor"

HOME=$WORK/home XDG_RUNTIME_DIR=$WORK/runtime /usr/bin/tarvo-vexa-sensorwindow \
    >"$WORK/window.out" 2>&1 &
window_pid=$!
PIDS+=("$window_pid")
wait_for 15 xdotool search --onlyvisible --pid "$window_pid" --class tarvo-vexa-sensorwindow ||
    { echo "the window did not appear"; cat "$WORK/window.out"; exit 1; }
window_id=$(xdotool search --onlyvisible --pid "$window_pid" --class tarvo-vexa-sensorwindow | head -n 1)
wait_for 10 sh -c "xprop -id $window_id _NET_FRAME_EXTENTS | grep -q '= '"
sleep 0.5
echo "window: \"$(xdotool getwindowname "$window_id")\" (/usr/bin/tarvo-vexa-sensorwindow, pid $window_pid)"

# One click on each of the nine buttons (their centres), row by row; each
# line shows what the stand-in received for it.
count=0
for spot in "50 40 upper left" "210 40 up" "340 40 upper right" \
            "50 190 left" "210 190 pause" "340 190 right" \
            "50 340 lower left" "210 340 down" "340 340 lower right"; do
    read -r x y name <<<"$spot"
    count=$((count + 1))
    xdotool mousemove --window "$window_id" "$x" "$y" click 1
    if wait_for 10 sh -c "[ \$(wc -l <'$WORK/received') -ge $count ]"; then
        printf 'click %-12s -> sensor service received %s\n' "$name" "$(sed -n "${count}p" "$WORK/received")"
    else
        printf 'click %-12s -> the sensor service received nothing\n' "$name"
        count=$((count - 1))
    fi
done

# A picture of the window with its frame, kept in the build folder.
shot=$VEXA_BUILD_DIR/demo-sensor-window.png
geometry=$(framed_geometry "$window_id")
if import -window root -crop "$geometry" +repage "$shot" 2>"$WORK/import.err"; then
    echo "screenshot of the window: $shot"
fi
