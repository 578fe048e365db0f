#!/usr/bin/env bash
# Runs an installed-system test in the sandbox with the Debian packages that
# scripts/build-debs.sh put in $VEXA_DEB_DIR (a relative path is taken from
# the top of the source tree), under systemd booted in it where the machine
# can (sandbox.sh --boot; --plain keeps to the plain sandbox, where the bus's
# launch helper starts the daemon). Without it the test is skipped, and fails
# under CI=true.
#
#   run-installed.sh SOURCE_DIR BUILD_DIR TEST_PROGRAM [--plain]
set -euo pipefail

source_dir=$1
build_dir=$2
program=$3
boot=--boot
[ "${4:-}" = --plain ] && boot=""

deb_dir=${VEXA_DEB_DIR:-}
if [ -z "$deb_dir" ]; then
    message="VEXA_DEB_DIR is not set; build the packages with scripts/build-debs.sh DIR and set VEXA_DEB_DIR=DIR"
    if [ "${CI:-}" = "true" ]; then
        echo "run-installed: $message (CI=true: this is a failure)" >&2
        exit 1
    fi
    echo "run-installed: SKIPPED: $message" >&2
    exit 77
fi
case "$deb_dir" in
    /*) ;;
    *) deb_dir=$source_dir/$deb_dir ;;
esac
for package in tarvo-vexa-settings-daemon tarvo-vexa-sensorwindow; do
    compgen -G "$deb_dir/${package}_*.deb" >/dev/null \
        || { echo "run-installed: no ${package}_*.deb in $deb_dir" >&2; exit 1; }
done

exec "$source_dir/tests/e2e/sandbox.sh" --build-dir "$build_dir" --debs "$deb_dir" ${boot:+"$boot"} -- "$program"
