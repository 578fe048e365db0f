#!/usr/bin/env bash
# Installs the Debian packages that building, testing, the demonstration and
# scripts/fresh-check.sh need, skipping those already installed: with every
# program the tests and scripts start (a minimal Debian 13 lacks some that
# Debian 12's had, mkfs.ext4 among them). The names are real (not virtual)
# packages on Debian 12 and 13 alike, so a second run finds them all and
# installs nothing.
set -euo pipefail

PACKAGES=(
    build-essential cmake pkg-config
    qtbase5-dev qtbase5-dev-tools qttools5-dev qttools5-dev-tools
    qt6-base-dev qt6-base-dev-tools qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools
    dbus util-linux mount procps e2fsprogs
    zip unzip passwd gdb
    xvfb xauth x11-utils xdotool
    openbox imagemagick fonts-wqy-microhei
    debhelper dpkg-dev lintian systemd systemd-container logrotate desktop-file-utils libxml2-utils man-db
    clang clang-format
    debootstrap
)

# The packages of $@ that are not installed.
missing() {
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
            echo "$pkg"
        fi
    done
}

updated=0
install() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing Debian packages: $*" >&2
        echo "Run this as root (or through sudo) to install them." >&2
        exit 1
    fi
    echo "Installing: $*"
    export DEBIAN_FRONTEND=noninteractive
    [ "$updated" -eq 1 ] || apt-get update -q
    updated=1
    apt-get install -y -q --no-install-recommends "$@"
}

mapfile -t lacking < <(missing "${PACKAGES[@]}")
[ "${#lacking[@]}" -eq 0 ] || install "${lacking[@]}"

# Packages whose names depend on the release, chosen by what is installed:
# the fuzz targets' and sanitizers' runtime of clang's own version
# (libclang-rt-14-dev on Debian 12, -19- on Debian 13), which the default
# clang only recommends; and systemd.pc, where CMake finds systemd's unit
# folder: part of systemd on Debian 12, of systemd-dev since Debian 13.
clang_major=$(clang --version | sed -n 's/.*clang version \([0-9]\+\)\..*/\1/p' | head -n 1)
[ -n "$clang_major" ] || { echo "ensure-packages: cannot tell clang's version" >&2; exit 1; }
chosen=("libclang-rt-$clang_major-dev")
dpkg-query -L systemd | grep '/systemd\.pc$' >/dev/null || chosen+=(systemd-dev)
mapfile -t lacking < <(missing "${chosen[@]}")
[ "${#lacking[@]}" -eq 0 ] || install "${lacking[@]}"
