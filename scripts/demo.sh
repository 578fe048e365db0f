#!/usr/bin/env bash
# A tour of the system as installed from its Debian packages, run by
# `scripts/run.sh demo` inside the sandbox of tests/e2e/sandbox.sh (--debs
# --boot): the packages are installed there with dpkg, the system bus starts
# the daemon on the first call (through systemd and the daemon's unit where
# the sandbox booted systemd), and the test caller stands at the runtime's
# program paths. The tour checks what it shows and fails when a check fails,
# so it is a test too (demo.tour). Everything it writes vanishes with the
# sandbox, but for a screenshot of the sensor window in the build folder.
set -uo pipefail

. "$(dirname "${BASH_SOURCE[0]}")/../tools/lib.sh"

bold=$(printf '\033[1m')
plain=$(printf '\033[0m')
[ -t 1 ] || { bold=""; plain=""; }

section() { printf '\n%s== %s ==%s\n' "$bold" "$*" "$plain"; }

passed=0
failed=0
# check WHAT COMMAND...: one check of the tour, shown with its outcome.
check() {
    local what=$1
    shift
    if "$@" >/dev/null 2>&1; then
        passed=$((passed + 1))
        echo "  ok: $what"
    else
        failed=$((failed + 1))
        echo "  FAILED: $what"
    fi
}

# call PROGRAM METHOD [ARG...]: shows the call and the daemon's answer, which
# stays in $reply.
call() {
    printf '$'
    printf " '%s'" "$@"
    printf '\n'
    reply=$("$@" 2>&1)
    sed 's/^/  -> /' <<<"$reply"
}

show() {
    printf -- '--- %s\n' "$1"
    sed 's/^/    /' "$1"
}

daemon_pid() { pgrep -x -f /usr/bin/tarvo-vexa-settings-daemon | head -n 1; }

unit=tarvo-vexa-settings-daemon
log=/var/log/$unit.log
booted=${VEXA_SANDBOX_BOOTED:-0}

manager=/usr/bin/tarvo-vexa-manager
settings=/usr/bin/tarvo-vexa-settings
window=/usr/bin/tarvo-vexa-window

if [ "$booted" = 1 ]; then
    section "Booted: $(systemctl --version | head -n 1) is the init of a throw-away container"
    echo "The bus starts the daemon through systemd and its unit, as on an installed system."
else
    section "Plain sandbox: no systemd here; the bus's launch helper starts the daemon"
fi

section "Installed from the Debian packages"
dpkg-query -W -f '${Package} ${Version}\n' tarvo-vexa-settings-daemon tarvo-vexa-sensorwindow | sed 's/^/    /'
dpkg-query -L tarvo-vexa-settings-daemon tarvo-vexa-sensorwindow |
    while read -r path; do [ -f "$path" ] && echo "    $path"; done | grep -v /usr/share/doc/
echo "Permitted callers (the test caller, copied): $settings $window $manager"

section "Manual pages (man tarvo-vexa-settings-daemon, the first lines)"
whatis tarvo-vexa-settings-daemon tarvo-vexa-sensorwindow | sed 's/^/    /'
MANPAGER=cat MANWIDTH=80 man tarvo-vexa-settings-daemon 2>&1 | sed -n '3,16p' | sed 's/^/    /'

# The runtime's folders, as its own package lays them before any call: the
# unit makes only folders that exist when the daemon starts writable.
mkdir -p /usr/share/vexa /etc/docker /etc/xdg/autostart /var/lib/vexa

section "The first call starts the daemon (bus activation)"
before=$(daemon_pid)
echo "daemon running before the first call: ${before:-none}"
check "no daemon runs before the first call" test -z "$before"
[ "$booted" = 1 ] && check "the unit is inactive before the first call" test "$(systemctl is-active $unit)" = inactive
call "$manager" setVexaAutoStart maybe
check "a permitted caller gets the answer false for \"maybe\"" test "$reply" = false
pid=$(daemon_pid)
if [ "$booted" = 1 ]; then
    systemctl status "$unit" --no-pager --lines=0 | sed 's/^/    /'
    check "the unit is active after it" systemctl is-active "$unit"
    check "the daemon runs in the unit's cgroup" grep -q "/$unit.service\$" "/proc/${pid:-0}/cgroup"
elif [ -n "$pid" ]; then
    echo "now running: pid $pid as $(ps -o user= -p "$pid"), started by the bus's launch helper with the environment:"
    tr '\0' '\n' <"/proc/$pid/environ" | sed 's/^/    /'
else
    echo "the daemon is not running"
fi

section "Game whitelist: add, add again, remove (/usr/share/vexa/games.json)"
mkdir -p /usr/share/vexa
printf '{"games": [{"appname": "Chess", "pkgname": "org.example.chess"}]}\n' >/usr/share/vexa/games.json
call "$settings" addGameToWhiteList "Tiny Racer" com.example.racer
check "added" test "$reply" = true
call "$settings" addGameToWhiteList "Another name" com.example.racer
show /usr/share/vexa/games.json
check "the game is on the list once" test "$(grep -o com.example.racer /usr/share/vexa/games.json | wc -l)" = 1
call "$settings" removeGameFromWhiteList org.example.chess
show /usr/share/vexa/games.json
check "removed" sh -c '! grep -q org.example.chess /usr/share/vexa/games.json'

section "Warning list: remove an application from both lists (/usr/share/vexa/warning.json)"
printf '{"games": [{"pkgName": "com.example.racer"}], "pay": [{"pkgName": "com.example.racer"}, {"pkgName": "com.example.shop"}], "version": 2}\n' \
    >/usr/share/vexa/warning.json
call "$manager" removeAppFromWarningList com.example.racer
show /usr/share/vexa/warning.json
check "gone from both lists, the shop stays" \
    sh -c '! grep -q com.example.racer /usr/share/vexa/warning.json && grep -q com.example.shop /usr/share/vexa/warning.json'

section "Container bridge address (/etc/docker/daemon.json keeps its other members)"
mkdir -p /etc/docker
printf '{"log-driver": "journald"}\n' >/etc/docker/daemon.json
call "$manager" setDockerDefaultIpAddress 172.18.0.1/16
check "set" test "$reply" = true
call "$manager" setDockerDefaultIpAddress "not an address"
check "the address is refused" test "$reply" = false
show /etc/docker/daemon.json
check "bip set, log-driver kept" sh -c 'grep -q "172.18.0.1/16" /etc/docker/daemon.json && grep -q journald /etc/docker/daemon.json'

section "Phone identity (a property file named by the caller)"
mkdir -p /var/lib/vexa/demo
printf '# emulated phone\nro.custom.brand=Old\nro.build.version.sdk=30\n' >/var/lib/vexa/demo/vendor.prop
call "$window" setPhoneInfo /var/lib/vexa/demo/vendor.prop Selvane Vexa "Vexa One" V1 vexa1 SN0001 860000000000001
check "answered true" test "$reply" = true
show /var/lib/vexa/demo/vendor.prop
check "brand rewritten in place, other lines kept, imei appended" \
    sh -c 'grep -qx ro.custom.brand=Vexa /var/lib/vexa/demo/vendor.prop && grep -qx ro.build.version.sdk=30 /var/lib/vexa/demo/vendor.prop && grep -qx ro.custom.imei=860000000000001 /var/lib/vexa/demo/vendor.prop'

section "Autostart entry on and off (/etc/xdg/autostart/bootlane.desktop)"
mkdir -p /etc/xdg/autostart
call "$manager" setVexaAutoStart true
show /etc/xdg/autostart/bootlane.desktop
check "the entry starts the runtime" grep -q '^Exec=/usr/bin/bootlane' /etc/xdg/autostart/bootlane.desktop
call "$manager" setVexaAutoStart false
ls /etc/xdg/autostart/bootlane.desktop 2>&1 | sed 's/^/    /'
check "the entry is gone" test ! -e /etc/xdg/autostart/bootlane.desktop

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
check "answered 0; alice's archive holds the kernel log" \
    sh -c "[ '$reply' = 0 ] && [ \$(stat -c %U /home/alice/VexaLog/run1.zip) = alice ] && unzip -Z1 /home/alice/VexaLog/run1.zip | grep -qx klog.txt"
echo "And alice for herself:"
runuser -u alice -- mkdir -p /home/alice/VexaLog/run2
call runuser -u alice -- "$settings" copyLogFiles alice "$uid" /home/alice/VexaLog/run2
check "answered 0; alice's second archive holds the runtime's log" \
    sh -c "[ '$reply' = 0 ] && [ \$(stat -c %U /home/alice/VexaLog/run2.zip) = alice ] && unzip -Z1 /home/alice/VexaLog/run2.zip | grep -qx vexa.log"

section "Refused callers"
call /usr/bin/vexa-pref-call addGameToWhiteList "Sneaky" com.example.sneaky
check "access denied" grep -q AccessDenied <<<"$reply"
call env LD_PRELOAD= "$manager" setVexaAutoStart true
check "refused: env forbidden" grep -q "env forbidden" <<<"$reply"
check "nothing added" sh -c '! grep -q com.example.sneaky /usr/share/vexa/games.json'

section "The system bus and the daemon's bus policy"
if [ "$booted" = 1 ]; then
    bus_unit=$(systemctl show -P Id dbus.service)
    echo "system bus: $bus_unit ($(systemctl show -P ExecStart "$bus_unit" | sed -n 's/.*argv\[\]=\([^;]*\);.*/\1/p'))"
    [ "${VEXA_SANDBOX_BUS:-daemon}" = broker ] && want=dbus-broker.service || want=dbus.service
    check "the system bus is $want" test "$bus_unit" = "$want"
    echo "what the bus said of our policy file (nothing is best):"
    journalctl -u "$bus_unit" --no-pager -o cat | grep -F cn.selvane.Vexa.Pref.conf | sed 's/^/    /'
    check "the bus reads the policy without a warning" \
        sh -c "! journalctl -u $bus_unit -o cat | grep -q cn.selvane.Vexa.Pref.conf"
fi
# Whether the bus hands out the caller's process as a pidfd, which the
# caller check then uses in place of the bare pid.
credentials=$(busctl --system call org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus \
    GetConnectionCredentials s cn.selvane.Vexa.Pref 2>&1)
grep -q '"ProcessFD"' <<<"$credentials" && processfd=yes || processfd=no
echo "the bus's credentials of a connection: $(grep -o '"[A-Za-z]*"' <<<"$credentials" | tr -d '"' | tr '\n' ' ')"
echo "ProcessFD handed out: $processfd"
call runuser -u alice -- dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.RequestName string:cn.selvane.Vexa.Pref uint32:0
check "a user who is not root may not own the daemon's name" grep -q AccessDenied <<<"$reply"
# A user's monitor gets nothing of another's calls, neither as a monitor
# (root only) nor by the old eavesdropping match rules; root's, beside it,
# shows that the call went by.
overheard=$VEXA_SANDBOX_STATE/overheard
runuser -u alice -- dbus-monitor --system "interface='cn.selvane.Vexa.Pref'" >"$overheard.alice" 2>&1 &
monitors=($!)
dbus-monitor --system "interface='cn.selvane.Vexa.Pref'" >"$overheard.root" 2>&1 &
monitors+=($!)
check "alice's and root's dbus-monitor are listening" \
    wait_for 15 sh -c "grep -q NameAcquired '$overheard.alice' && grep -q NameAcquired '$overheard.root'"
call "$settings" addGameToWhiteList "Overheard" com.example.overheard
check "root's dbus-monitor saw the call" wait_for 15 grep -q com.example.overheard "$overheard.root"
kill "${monitors[@]}" 2>/dev/null
wait "${monitors[@]}" 2>/dev/null
check "alice's dbus-monitor saw no call to the daemon" sh -c "! grep -q com.example.overheard '$overheard.alice'"

section "quilt ends the daemon; the next call starts it again"
call "$settings" quilt
if [ "$booted" = 1 ]; then
    check "the unit stops" wait_for 60 sh -c "! systemctl is-active -q $unit"
    call "$window" setVexaAutoStart maybe
    check "the next call starts the unit again, with a new daemon" \
        sh -c "systemctl is-active -q $unit && [ \$(systemctl show -P MainPID $unit) != $pid ]"
else
    check "the daemon ends" wait_for 60 sh -c "! pgrep -x -f /usr/bin/tarvo-vexa-settings-daemon"
    call "$window" setVexaAutoStart maybe
    check "the next call starts a new daemon" sh -c "[ -n \"\$(pgrep -x -f /usr/bin/tarvo-vexa-settings-daemon)\" ]"
fi

section "The daemon's log ($log)"
show "$log"
check "the refusals are logged" grep -q 'checkWhiteList failed:  "/usr/bin/vexa-pref-call"' "$log"
if [ "$booted" = 1 ]; then
    section "Its lines in the journal (journalctl -u $unit)"
    journalctl -u "$unit" --no-pager -o cat | sed 's/^/    /'
    check "the journal has the daemon's lines too" sh -c "journalctl -u $unit -o cat | grep -q 'checkWhiteList failed'"
    check "its warnings at priority warning (journalctl -p warning)" \
        sh -c "journalctl -u $unit -p warning -o cat | grep -q '^\[QWARN\]:msg-\[checkWhiteList failed'"
    check "no empty lines between them" sh -c "! journalctl -u $unit -o cat | grep -qx ''"
fi

section "Log rotation (logrotate -f /etc/logrotate.d/$unit)"
logrotate -f "/etc/logrotate.d/$unit"
ls "$log"* | sed 's/^/    /'
check "the log was moved aside" sh -c "[ -s $log.1 ] && [ ! -e $log ]"
call /usr/bin/vexa-pref-call setVexaAutoStart true
show "$log"
check "the running daemon writes to a fresh file" sh -c "[ \$(wc -l <$log) = 1 ] && grep -q checkWhiteList $log"

if [ "$booted" = 1 ]; then
    section "The unit's protections (systemd-analyze security $unit)"
    systemd-analyze security "$unit" --no-pager | tail -n 1 | sed 's/^/    /'
    check "exposure at most 2.5" systemd-analyze security --threshold=25 "$unit"
    section "The booted system: failed units and the journal's warnings"
    systemctl --failed --no-legend | sed 's/^/    /'
    check "no failed units" test -z "$(systemctl --failed --no-legend)"
    journalctl -b -p warning --no-pager -o short-monotonic | sed 's/^/    /'
fi

# --- the sensor simulator ----------------------------------------------------
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
check "the sensor service received a text for each of the nine clicks" test "$count" = 9

# A picture of the window with its frame, kept in the build folder.
shot=$VEXA_BUILD_DIR/demo-sensor-window.png
geometry=$(framed_geometry "$window_id")
if import -window root -crop "$geometry" +repage "$shot" 2>"$WORK/import.err"; then
    echo "screenshot of the window: $shot"
fi

printf '\n%s passed, %s failed\n' "$passed" "$failed"
[ "$failed" -eq 0 ]
