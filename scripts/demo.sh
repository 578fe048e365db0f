#!/usr/bin/env bash
# A tour of the settings daemon, run by `scripts/run.sh demo` inside the
# sandbox of tests/e2e/sandbox.sh: the daemon is running on the sandbox's
# system bus, and the test caller stands at the runtime's program paths.
# Everything it writes vanishes with the sandbox.
set -uo pipefail

bold=$(printf '\033[1m')
plain=$(printf '\033[0m')
[ -t 1 ] || { bold=""; plain=""; }

section() { printf '\n%s== %s ==%s\n' "$bold" "$*" "$plain"; }

# call PROGRAM METHOD [ARG...]: shows the call and the daemon's answer.
call() {
    local program=$1
    shift
    printf '$ %s %s\n' "$program" "$(printf '%q ' "$@")"
    "$program" "$@" | sed 's/^/  -> /'
}

show() {
    printf -- '--- %s\n' "$1"
    sed 's/^/    /' "$1"
}

manager=/usr/bin/tarvo-vexa-manager
settings=/usr/bin/tarvo-vexa-settings

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
call "$manager" setPhoneInfo /var/lib/vexa/demo/vendor.prop Selvane Vexa "Vexa One" V1 vexa1 SN0001 860000000000001
show /var/lib/vexa/demo/vendor.prop

section "Autostart entry on and off (/etc/xdg/autostart/bootlane.desktop)"
mkdir -p /etc/xdg/autostart
call "$manager" setVexaAutoStart true
show /etc/xdg/autostart/bootlane.desktop
call "$manager" setVexaAutoStart false
ls /etc/xdg/autostart/bootlane.desktop 2>&1 | sed 's/^/    /'

section "Log collection for a desktop user"
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
