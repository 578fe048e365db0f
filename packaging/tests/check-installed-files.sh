#!/usr/bin/env bash
# Installs the build into scratch folders, as `cmake --install --prefix` would,
# and checks every system file we ship with the program that reads it on a
# real system: systemd-analyze for the unit, logrotate for its configuration,
# desktop-file-validate for the menu entry, dbus-daemon for the bus files,
# man for the manual pages and qdbusxml2cpp for the interface description.
#
#   check-installed-files.sh BUILD_DIR UNIT_DIR
#
# UNIT_DIR is the configured folder of the systemd unit (VEXA_SYSTEMD_UNIT_DIR).
set -euo pipefail

build=$(cd "$1" && pwd)
unit_dir=$2
scratch=$(mktemp -d /tmp/vexa-installed-files.XXXXXX)
trap 'rm -rf "$scratch"' EXIT

failures=0
pass() { echo "ok: $*"; }
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
check() {
    local what=$1
    shift
    if "$@" >"$scratch/out" 2>&1; then
        pass "$what"
    else
        fail "$what"
        sed 's/^/    /' "$scratch/out"
    fi
}
need() {
    command -v "$1" >/dev/null || PATH=$PATH:/usr/sbin:/sbin command -v "$1" >/dev/null \
        || { echo "FAILED: $1 is not installed (scripts/ensure-packages.sh installs it)"; exit 1; }
}
need systemd-analyze
need desktop-file-validate
need dbus-daemon
need man
need qdbusxml2cpp
PATH=$PATH:/usr/sbin:/sbin
need logrotate

# Value of KEY= in a key file (first match).
value() { sed -n "s/^$2=//p" "$1" | head -n 1; }

root=$scratch/usr-prefix
DESTDIR=$root cmake --install "$build" --prefix /usr >"$scratch/install.log"

daemon=/usr/bin/tarvo-vexa-settings-daemon
activation=$root/usr/share/dbus-1/system-services/cn.selvane.Vexa.Pref.service
policy=$root/usr/share/dbus-1/system.d/cn.selvane.Vexa.Pref.conf
logrotate_conf=$root/etc/logrotate.d/tarvo-vexa-settings-daemon
desktop=$root/usr/share/applications/tarvo-vexa-sensorwindow.desktop
icon=$root/usr/share/icons/hicolor/scalable/apps/tarvo-vexa-sensorwindow.svg
unit=$root$unit_dir/tarvo-vexa-settings-daemon.service
interface=$root/usr/share/dbus-1/interfaces/cn.selvane.Vexa.Pref.xml
daemon_man=$root/usr/share/man/man8/tarvo-vexa-settings-daemon.8
window_man=$root/usr/share/man/man1/tarvo-vexa-sensorwindow.1

for file in "$root$daemon" "$root/usr/bin/tarvo-vexa-sensorwindow" "$activation" "$policy" \
            "$logrotate_conf" "$desktop" "$icon" "$unit" "$interface" "$daemon_man" "$window_man"; do
    [ -n "$file" ] && [ -f "$file" ] && pass "installed ${file#"$root"}" || fail "not installed: ${file#"$root"}"
done
unit_rel=${unit#"$root"}

# The bus activates exactly the program and the unit we install.
[ "$(value "$activation" Name)" = cn.selvane.Vexa.Pref ] && pass "activation Name" || fail "activation Name"
[ "$(value "$activation" Exec)" = "$daemon" ] && pass "activation Exec=$daemon" || fail "activation Exec is $(value "$activation" Exec)"
[ "$(value "$activation" User)" = root ] && pass "activation User=root" || fail "activation User"
[ "$(value "$activation" SystemdService)" = "$(basename "$unit")" ] && pass "activation names our unit" \
    || fail "activation SystemdService is $(value "$activation" SystemdService)"
[ "$(value "$unit" ExecStart)" = "$daemon" ] && pass "unit ExecStart=$daemon" || fail "unit ExecStart"
[ "$(value "$unit" BusName)" = cn.selvane.Vexa.Pref ] && pass "unit BusName" || fail "unit BusName"
[ "$(value "$unit" Type)" = dbus ] && pass "unit Type=dbus" || fail "unit Type"
# Started by the bus only, never enabled at boot.
grep -q '^\[Install\]' "$unit" && fail "unit has an [Install] section" || pass "unit has no [Install] section"

# systemd accepts every setting (an unknown or mistyped one fails here), and
# the hardening stays where it is: the exposure score is 2.3 today.
check "systemd-analyze verify" \
    systemd-analyze verify --man=no --recursive-errors=no --root="$root" "$unit_rel"
check "systemd-analyze security exposure at most 2.5" \
    systemd-analyze security --offline=yes --threshold=25 --root="$root" "$unit_rel"

# dbus-daemon parses the policy and the activation folder as the system bus would.
cat >"$scratch/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$scratch/bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow send_destination="org.freedesktop.DBus"/>
    <allow receive_sender="org.freedesktop.DBus"/>
  </policy>
  <servicedir>$root/usr/share/dbus-1/system-services</servicedir>
  <include>$policy</include>
</busconfig>
EOF
if bus_pid=$(dbus-daemon --config-file="$scratch/bus.conf" --fork --print-pid 2>"$scratch/bus.err"); then
    pass "dbus-daemon accepts the policy"
    names=$(dbus-send --bus="unix:path=$scratch/bus_socket" --print-reply --dest=org.freedesktop.DBus \
            /org/freedesktop/DBus org.freedesktop.DBus.ListActivatableNames 2>&1 || true)
    kill "$bus_pid"
    grep -q '"cn.selvane.Vexa.Pref"' <<<"$names" && pass "the bus can activate cn.selvane.Vexa.Pref" \
        || { fail "the bus cannot activate cn.selvane.Vexa.Pref"; echo "$names"; }
else
    fail "dbus-daemon rejects the policy: $(cat "$scratch/bus.err")"
fi

check "logrotate reads its configuration" logrotate --debug --state "$scratch/logrotate.state" "$logrotate_conf"
grep -q '^/var/log/tarvo-vexa-settings-daemon.log {' "$logrotate_conf" \
    && pass "logrotate rotates the daemon's log" || fail "logrotate does not name the daemon's log"

check "desktop-file-validate" desktop-file-validate "$desktop"
[ -x "$root/usr/bin/$(value "$desktop" Exec)" ] && pass "desktop Exec is installed" || fail "desktop Exec $(value "$desktop" Exec) not installed"
[ "$(value "$desktop" Icon)" = "$(basename "$icon" .svg)" ] && pass "desktop Icon is ours" || fail "desktop Icon"
check "icon is well-formed SVG" xmllint --noout "$icon"

# groff formats each page without a warning, in a UTF-8 locale as lintian
# does (the sensor window's page shows the Chinese captions).
for page in "$daemon_man" "$window_man"; do
    if LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" >/dev/null 2>"$scratch/man.err" \
            && [ ! -s "$scratch/man.err" ]; then
        pass "man --warnings ${page#"$root"}"
    else
        fail "man --warnings ${page#"$root"}"
        sed 's/^/    /' "$scratch/man.err"
    fi
done

# A client author generates a proxy from the interface description
# (QT_SELECT: qdbusxml2cpp is qtchooser's, which serves several Qt versions).
check "interface description is well-formed XML" xmllint --noout "$interface"
check "qdbusxml2cpp -p accepts the interface description" \
    env QT_SELECT=qt5 qdbusxml2cpp -p "$scratch/vexapref" "$interface"

# Another prefix moves the program, and the bus files follow it.
other=$scratch/other-prefix
DESTDIR=$other cmake --install "$build" --prefix /opt/vexa >"$scratch/install-other.log"
# The unit stays in systemd's own folder, where systemd looks for it.
other_unit=$other$unit_dir/tarvo-vexa-settings-daemon.service
[ "$(value "$other/opt/vexa/share/dbus-1/system-services/cn.selvane.Vexa.Pref.service" Exec)" \
  = /opt/vexa/bin/tarvo-vexa-settings-daemon ] && pass "activation Exec follows --prefix" \
    || fail "activation Exec does not follow --prefix"
[ -f "$other_unit" ] && [ "$(value "$other_unit" ExecStart)" = /opt/vexa/bin/tarvo-vexa-settings-daemon ] \
    && pass "unit ExecStart follows --prefix" || fail "unit ExecStart does not follow --prefix"

echo "$failures failed"
[ "$failures" -eq 0 ]
