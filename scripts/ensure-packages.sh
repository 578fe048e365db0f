#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demonstration
# need, skipping those already installed.
set -euo pipefail

PACKAGES=(
    build-essential cmake pkg-config
    qtbase5-dev qtbase5-dev-tools qttools5-dev qttools5-dev-tools libqt5dbus5
    dbus util-linux mount
    zip unzip passwd gdb
    xvfb xauth x11-utils xdotool
    openbox imagemagick fonts-wqy-microhei
    debhelper dpkg-dev lintian systemd systemd-container logrotate desktop-file-utils libxml2-utils man-db
    clang libclang-rt-14-dev clang-format
)

missing=()
for pkg in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$pkg")
    fi
done

if [ "${#missing[@]}" -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing Debian packages: ${missing[*]}" >&2
        echo "Run this as root (or through sudo) to install them." >&2
        exit 1
    fi
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
