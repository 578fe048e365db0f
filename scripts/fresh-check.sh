#!/usr/bin/env bash
# Tries the README's commands as a new user would: on a minimal Debian root
# made by debootstrap, entered with `/` as a mount point, with a copy of this
# tree that has no .git (as a release tarball would unpack), as root with
# CI=true. Reports the outcome and the wall time.
#
#   scripts/fresh-check.sh RELEASE [demo|test|ctest|debs] [--bus broker]   (default: demo)
#
# demo and test run `scripts/run.sh MODE`; ctest builds as run.sh does and runs
# CTest alone (the demo's tour among its tests), without the sanitizer and
# fuzz stages; debs builds the packages as a clean package builder would,
# with build-essential and debian/control's Build-Depends alone.
# --bus broker installs dbus-broker in the fresh root and boots the sandbox
# with it as the system bus (tests/e2e/sandbox.sh --bus broker).
#
# RELEASE is a Debian release name (bookworm, trixie). The minimal root is
# made once and kept in VEXA_FRESH_CACHE (default /var/cache/vexa-fresh-check),
# with the packages apt downloads into it, so a later run starts from the
# same untouched root without fetching again; each run works on a copy of it
# in VEXA_FRESH_WORK (default /var/tmp), removed afterwards. The mirror is
# the Debian one apt is configured with here, or VEXA_FRESH_MIRROR.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
usage() {
    echo "usage: scripts/fresh-check.sh RELEASE [demo|test|ctest|debs] [--bus broker]" >&2
    exit 2
}
bus=daemon
positional=()
while [ $# -gt 0 ]; do
    case "$1" in
        --bus) [ $# -ge 2 ] || usage; bus=$2; shift 2 ;;
        *) positional+=("$1"); shift ;;
    esac
done
case "$bus" in daemon | broker) ;; *) usage ;; esac
set -- "${positional[@]}"
[ $# -ge 1 ] && [ $# -le 2 ] || usage
release=$1
mode=${2:-demo}
case "$release" in *[!a-z]* | "") usage ;; esac
case "$mode" in demo | test | ctest | debs) ;; *) usage ;; esac
[ "$(id -u)" -eq 0 ] || { echo "fresh-check: needs root (debootstrap, namespaces)" >&2; exit 1; }

cache=${VEXA_FRESH_CACHE:-/var/cache/vexa-fresh-check}
started=$(date +%s)

# The first Debian archive in apt's sources (one-line or deb822 form).
apt_mirror() {
    {
        cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
            sed -n 's/^deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?\([^[:space:]]\+\).*/\2/p'
        cat /etc/apt/sources.list.d/*.sources 2>/dev/null | sed -n 's/^URIs:[[:space:]]*//p' | tr ' ' '\n'
    } | grep -E '^https?://[^[:space:]]+/debian/?$' | head -n 1
}

mkdir -p "$cache"
base=$cache/$release
if [ ! -e "$base/.complete" ]; then
    mirror=${VEXA_FRESH_MIRROR:-$(apt_mirror)}
    [ -n "$mirror" ] || { echo "fresh-check: no Debian mirror in apt's sources; set VEXA_FRESH_MIRROR" >&2; exit 1; }
    command -v debootstrap >/dev/null || { echo "fresh-check: install debootstrap (scripts/ensure-packages.sh)" >&2; exit 1; }
    script=""
    # An older debootstrap that does not know the release yet: Debian's
    # releases since bookworm all use the sid script.
    [ -e "/usr/share/debootstrap/scripts/$release" ] || script=/usr/share/debootstrap/scripts/sid
    rm -rf "$base"
    echo "fresh-check: debootstrap --variant=minbase $release (once; kept in $base)"
    debootstrap --variant=minbase "$release" "$base" "$mirror" $script >"$cache/$release-debootstrap.log" 2>&1 ||
        { tail -n 20 "$cache/$release-debootstrap.log" >&2; echo "fresh-check: debootstrap failed" >&2; exit 1; }
    # apt keeps what it downloads in the run's own cache folder, bound to
    # this one, so the next run fetches nothing twice.
    rm -rf "$base/var/cache/apt/archives"/*.deb
    touch "$base/.complete"
fi
mkdir -p "$cache/$release-archives/partial"

work=$(mktemp -d "${VEXA_FRESH_WORK:-/var/tmp}/vexa-fresh-check.XXXXXX")
trap 'rm -rf --one-file-system "$work"' EXIT
root=$work/root
cp -a "$base" "$root"
rm -f "$root/.complete"
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
# The tree as a release tarball holds it: the source files, no .git.
mkdir -p "$root/root/vexa"
bash "$top/scripts/tree-files.sh" | tar -C "$top" --null -T - -cf - | tar -C "$root/root/vexa" -xf -
echo "fresh-check: $release, '$mode' in a fresh minimal root ($(sed -n 's/^PRETTY_NAME=//p' "$root/etc/os-release"))"

# What runs inside: the README's command (or CTest, or the package build),
# then ensure-packages.sh once more, which must find every package installed.
cat >"$root/root/fresh-check-inner.sh" <<'INNER'
set -u
umount -l /.old-root && rmdir /.old-root
hostname vexa-fresh
cd /root/vexa
status=0
export DEBIAN_FRONTEND=noninteractive
# dbus-broker is no dependency of ours: installed here only to boot with it
# (its package enables it as dbus.service; the sandbox chooses either way).
if [ "$VEXA_SANDBOX_BUS" = broker ]; then
    apt-get update -q >/dev/null &&
        apt-get install -y -q --no-install-recommends dbus-broker >/dev/null ||
        { echo "fresh-check: cannot install dbus-broker" >&2; exit 1; }
    echo "fresh-check: the sandbox boots with dbus-broker as the system bus"
fi
case "$1" in
    ctest)
        (bash scripts/ensure-packages.sh &&
            cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
            cmake --build build -j "$(nproc)" &&
            bash scripts/build-debs.sh build/debs &&
            cd build && VEXA_DEB_DIR=/root/vexa/build/debs ctest --output-on-failure --timeout 1800) || status=$?
        ;;
    debs)
        # As a clean package builder: build-essential and the Build-Depends
        # alone, each of them a package of this release's main archive.
        (apt-get update -q &&
            apt-get install -y -q --no-install-recommends build-essential dpkg-dev &&
            apt-get build-dep -y -q --no-install-recommends ./ &&
            dpkg-buildpackage -us -uc -b &&
            dpkg-deb -c ../tarvo-vexa-settings-daemon_*.deb | grep 'systemd/system/tarvo-vexa-settings-daemon.service') ||
            status=$?
        exit "$status"
        ;;
    *) bash scripts/run.sh "$1" || status=$? ;;
esac
if bash scripts/ensure-packages.sh | grep '^Installing:'; then
    echo "fresh-check: a second run of ensure-packages.sh installed packages" >&2
    status=1
fi
exit "$status"
INNER

# Inside a mount, pid, uts and ipc namespace of its own: the root is bound to
# itself (so that it is a mount point), given /proc, /sys, /dev, a fresh /run
# and /tmp, then pivot_root makes it / and the old root is let go.
status=0
unshare --mount --pid --uts --ipc --fork --kill-child --propagation private \
    env ROOT="$root" ARCHIVES="$cache/$release-archives" MODE="$mode" BUS="$bus" bash -euc '
    mount --bind "$ROOT" "$ROOT"
    mount -t proc proc "$ROOT/proc"
    mount --rbind /sys "$ROOT/sys"
    mount --rbind /dev "$ROOT/dev"
    mount -t tmpfs -o mode=0755,nosuid,nodev tmpfs "$ROOT/run"
    mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$ROOT/tmp"
    mount --bind "$ARCHIVES" "$ROOT/var/cache/apt/archives"
    mkdir "$ROOT/.old-root"
    cd "$ROOT"
    pivot_root . .old-root
    exec /usr/sbin/chroot . /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        HOME=/root LANG=C.UTF-8 TERM=dumb CI=true VEXA_SANDBOX_BUS="$BUS" /bin/bash /root/fresh-check-inner.sh "$MODE"
' || status=$?

elapsed=$(($(date +%s) - started))
outcome=PASSED
[ "$status" -eq 0 ] || outcome="FAILED (status $status)"
printf 'fresh-check: %s %s: %s in %dm%02ds\n' "$release" "$mode" "$outcome" $((elapsed / 60)) $((elapsed % 60))
exit "$status"
