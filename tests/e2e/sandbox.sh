#!/usr/bin/env bash
# Runs a command in a throw-away copy of this machine, so that the settings
# daemon uses its real fixed paths and the host is never changed:
#  - a private mount and pid namespace (every process in it dies with it);
#  - overlays over /usr, /etc, /var/log, /var/lib and /home, and a fresh /run,
#    all backed by a tmpfs that vanishes afterwards;
#  - the build installed into it as `cmake --install --prefix /usr` would;
#  - the test caller installed at the three permitted program paths, and once
#    more as /usr/bin/vexa-pref-call, a path the daemon does not permit;
#  - a real `dbus-daemon --system` with our bus policy.
#
#   sandbox.sh --build-dir DIR [--start-daemon] [--debs DEBDIR] -- COMMAND [ARG...]
#
# --debs DEBDIR installs the Debian packages in DEBDIR with `dpkg -i` instead
# of the build (dpkg's database, /var/cache and policy-rc.d are the sandbox's
# own); the build directory still gives the test caller. The bus then starts
# the daemon by activation, through its launch helper, unless --start-daemon
# is given too. VEXA_SANDBOX_DEBS names DEBDIR inside, and VEXA_SANDBOX_CHANGES
# the folder of the overlays' upper layers (upper_usr, upper_etc, ...), which
# hold every file the sandbox added or changed.
#
# COMMAND runs as root inside, with VEXA_SANDBOX_STATE naming a scratch folder
# outside the overlays (the daemon's output goes to daemon.out there). Without
# root or namespaces it exits 77 (skipped); with CI=true it fails instead.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build_dir=""
start_daemon=0
debs_dir=""
inner=""

while [ $# -gt 0 ]; do
    case "$1" in
        --build-dir) build_dir=$(cd "$2" && pwd); shift 2 ;;
        --start-daemon) start_daemon=1; shift ;;
        --debs) debs_dir=$(cd "$2" && pwd); shift 2 ;;
        --inner) inner="$2"; shift 2 ;;
        --) shift; break ;;
        *) echo "sandbox: unknown option $1" >&2; exit 2 ;;
    esac
done
if [ -z "$build_dir" ] || [ $# -eq 0 ]; then
    echo "usage: sandbox.sh --build-dir DIR [--start-daemon] [--debs DEBDIR] -- COMMAND [ARG...]" >&2
    exit 2
fi

cannot_run() {
    if [ "${CI:-}" = "true" ]; then
        echo "sandbox: cannot set up the sandbox: $1 (CI=true: this is a failure)" >&2
        exit 1
    fi
    echo "sandbox: SKIPPED: $1; the end-to-end tests need root and mount/pid namespaces" >&2
    exit 77
}

if [ -z "$inner" ]; then
    [ "$(id -u)" -eq 0 ] || cannot_run "not running as root"
    unshare --mount --pid --fork --propagation private true 2>/dev/null \
        || cannot_run "unshare --mount --pid is not allowed here"
    state=$(mktemp -d /tmp/vexa-sandbox.XXXXXX)
    args=(--build-dir "$build_dir" --inner "$state")
    [ "$start_daemon" -eq 1 ] && args+=(--start-daemon)
    [ -n "$debs_dir" ] && args+=(--debs "$debs_dir")
    status=0
    unshare --mount --pid --fork --mount-proc --propagation private \
        "$here/sandbox.sh" "${args[@]}" -- "$@" || status=$?
    rm -rf "$state"
    exit "$status"
fi

# --- inside the namespaces -------------------------------------------------
state="$inner"
mount -t tmpfs -o mode=0755 vexa-sandbox "$state"

overlaid=(/usr /etc /var/log /var/lib /home)
# Package triggers (man-db, for one) write under /var/cache.
[ -n "$debs_dir" ] && overlaid+=(/var/cache)
for dir in "${overlaid[@]}"; do
    name=${dir//\//_}
    mkdir -p "$state/upper$name" "$state/work$name"
    mount -t overlay overlay \
        -o "lowerdir=$dir,upperdir=$state/upper$name,workdir=$state/work$name" "$dir"
done
mount -t tmpfs -o mode=0755 vexa-run /run
mkdir -p /run/dbus /run/lock
mkdir -p "$state/scratch"

if [ -n "$debs_dir" ]; then
    # No maintainer script may start a service here.
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
    chmod 0755 /usr/sbin/policy-rc.d
    mkdir -p "$state/scratch/tmp"
    debs=("$debs_dir"/*.deb)
    [ -f "${debs[0]}" ] || { echo "sandbox: no .deb in $debs_dir" >&2; exit 1; }
    TMPDIR="$state/scratch/tmp" DEBIAN_FRONTEND=noninteractive \
        dpkg -i "${debs[@]}" >"$state/install.log" 2>&1 \
        || { cat "$state/install.log" >&2; echo "sandbox: dpkg -i failed" >&2; exit 1; }
    export VEXA_SANDBOX_DEBS="$debs_dir"
    export VEXA_SANDBOX_CHANGES="$state"
else
    cmake --install "$build_dir" --prefix /usr >"$state/install.log"
fi

caller="$build_dir/tools/vexa-pref-call"
for program in tarvo-vexa-settings tarvo-vexa-window tarvo-vexa-manager vexa-pref-call; do
    install -m 0755 "$caller" "/usr/bin/$program"
done

dbus-daemon --system --fork
for _ in $(seq 1 100); do
    [ -S /run/dbus/system_bus_socket ] && break
    sleep 0.05
done
[ -S /run/dbus/system_bus_socket ] || { echo "sandbox: the system bus did not start" >&2; exit 1; }

export VEXA_SANDBOX=1
export VEXA_SANDBOX_STATE="$state/scratch"
export VEXA_BUILD_DIR="$build_dir"
unset LD_PRELOAD LD_LIBRARY_PATH LD_AUDIT

if [ "$start_daemon" -eq 1 ]; then
    /usr/bin/tarvo-vexa-settings-daemon >"$VEXA_SANDBOX_STATE/daemon.out" 2>&1 &
    /usr/bin/vexa-pref-call --wait-name 10 \
        || { echo "sandbox: the daemon did not take its bus name" >&2; exit 1; }
fi

"$@"
