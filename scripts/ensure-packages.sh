#!/usr/bin/env bash
# Installs the Debian packages that building, testing, the demonstration and
# scripts/fresh-check.sh need, skipping those already installed. The names are
# real (not virtual) packages on Debian 12 and 13 alike, so a second run finds
# them all and installs nothing.
set -euo pipefail

PACKAGES=(
    build-essential cmake pkg-config
    qtbase5-dev qtbase5-dev-tools qttools5-dev qttools5-dev-tools
    dbus util-linux mount procps
    zip unzip passwd
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

# The fuzz targets and the sanitizer runtime of clang: its own version's
# package (libclang-rt-14-dev on Debian 12, -19- on Debian 13), which the
# default clang only recommends.
clang_major=$(clang --version | sed -n 's/.*clang version \([0-9]\+\)\..*/\1/p' | head -n 1)
[ -n "$clang_major" ] || { echo "ensure-packages: cannot tell clang's version" >&2; exit 1; }
mapfile -t lacking < <(missing "libclang-rt-$clang_major-dev")
[ "${#lacking[@]}" -eq 0 ] || install "${lacking[@]}"
