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
#   sandbox.sh --build-dir DIR [--start-daemon] [--debs DEBDIR [--boot [--bus daemon|broker]]] -- COMMAND [ARG...]
#
# --debs DEBDIR installs the Debian packages in DEBDIR with `dpkg -i` instead
# of the build (dpkg's database, /var/cache and policy-rc.d are the sandbox's
# own); the build directory still gives the test caller. The bus then starts
# the daemon by activation, through its launch helper, unless --start-daemon
# is given too. VEXA_SANDBOX_DEBS names DEBDIR inside, and VEXA_SANDBOX_CHANGES
# the folder of the overlays' upper layers (upper_usr, upper_etc, ...), which
# hold every file the sandbox added or changed.
#
# --boot (with --debs) boots this machine's own systemd as the init of a
# container instead: an overlay over the whole of / (its upper layer on a
# tmpfs) with a fresh machine id and the packages installed by dpkg, booted by
# systemd-nspawn with no network, so that the bus starts the daemon through
# systemd and its unit as on an installed system. COMMAND then runs inside
# the booted system (nsenter), and VEXA_SANDBOX_BOOTED=1 says so. The build
# and source folders are bound into it at their own paths; timers enabled on
# this machine are masked there, so that no periodic job (logrotate's among
# them) runs in the middle. VEXA_SANDBOX_STATE is /var/tmp/vexa-sandbox there,
# and VEXA_SANDBOX_CHANGES holds the overlay's single upper layer as upper_.
# Where the machine cannot boot it (no cgroup2, no systemd-nspawn, or a
# system folder such as /usr or /var mounted on its own, which the overlay of
# / would not show), one line says so and the sandbox above is used, with
# VEXA_SANDBOX_BOOTED=0.
#
# --bus broker (with --boot; VEXA_SANDBOX_BUS=broker does the same for a
# booted sandbox) boots dbus-broker as the system bus: dbus-broker.service
# stands in for dbus.service, as `systemctl enable dbus-broker` makes it. The package
# dbus-broker must be installed on this machine (installing it enables it
# for the next boot; `systemctl disable dbus-broker` undoes that). --bus
# daemon, the default, boots dbus-daemon, whatever this machine enabled.
#
# COMMAND runs as root inside, with VEXA_SANDBOX_STATE naming a scratch folder
# outside the overlays (the daemon's output goes to daemon.out there). Without
# root or namespaces it exits 77 (skipped); with CI=true it fails instead.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build_dir=""
start_daemon=0
debs_dir=""
boot=0
inner=""
boot_inner=""
bus=""

while [ $# -gt 0 ]; do
    case "$1" in
        --build-dir) build_dir=$(cd "$2" && pwd); shift 2 ;;
        --start-daemon) start_daemon=1; shift ;;
        --debs) debs_dir=$(cd "$2" && pwd); shift 2 ;;
        --boot) boot=1; shift ;;
        --inner) inner="$2"; shift 2 ;;
        --boot-inner) boot_inner="$2"; shift 2 ;;
        --bus) bus="$2"; shift 2 ;;
        --) shift; break ;;
        *) echo "sandbox: unknown option $1" >&2; exit 2 ;;
    esac
done
if [ -z "$build_dir" ] || [ $# -eq 0 ]; then
    echo "usage: sandbox.sh --build-dir DIR [--start-daemon] [--debs DEBDIR [--boot [--bus daemon|broker]]] -- COMMAND [ARG...]" >&2
    exit 2
fi
# The environment's choice holds for booted sandboxes only; the plain one
# always runs dbus-daemon.
if [ -z "$bus" ]; then
    bus=daemon
    [ "$boot" -eq 1 ] && bus=${VEXA_SANDBOX_BUS:-daemon}
fi
case "$bus" in
    daemon) ;;
    broker) [ "$boot" -eq 1 ] || [ -n "$boot_inner" ] || { echo "sandbox: --bus broker needs --boot" >&2; exit 2; } ;;
    *) echo "sandbox: --bus takes daemon or broker, not '$bus'" >&2; exit 2 ;;
esac
if [ "$boot" -eq 1 ] && [ -z "$debs_dir" ]; then
    echo "sandbox: --boot needs --debs" >&2
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

# Why this machine cannot boot a container; empty when it can.
boot_obstacle() {
    command -v systemd-nspawn >/dev/null || { echo "no systemd-nspawn (package systemd-container)"; return; }
    [ -x /lib/systemd/systemd ] || { echo "no /lib/systemd/systemd"; return; }
    grep -qw cgroup2 /proc/filesystems || { echo "the kernel has no cgroup2"; return; }
    command -v nsenter >/dev/null || { echo "no nsenter"; return; }
    # The overlay of / shows the root file system alone: a system folder
    # mounted on its own would be the empty folder beneath it (dpkg -i and
    # the boot would fail). Files bound over single files do no harm.
    local target
    while read -r target; do
        case "$target" in
            /usr | /usr/* | /etc | /etc/* | /var | /var/lib | /var/lib/dpkg | /var/lib/systemd | /var/log | \
                /var/cache | /opt | /bin | /sbin | /lib | /lib64)
                if [ -d "$target" ]; then
                    echo "$target is a file system of its own, which an overlay of / does not show"
                    return
                fi
                ;;
        esac
    done < <(awk '{ print $5 }' /proc/self/mountinfo)
}

if [ -z "$inner" ] && [ -z "$boot_inner" ]; then
    [ "$(id -u)" -eq 0 ] || cannot_run "not running as root"
    unshare --mount --pid --fork --propagation private true 2>/dev/null \
        || cannot_run "unshare --mount --pid is not allowed here"
    export VEXA_SANDBOX_BOOTED=0
    if [ "$boot" -eq 1 ]; then
        obstacle=$(boot_obstacle)
        # dbus-broker starts services through systemd only: no booted
        # system, no broker.
        if [ "$bus" = broker ]; then
            [ -z "$obstacle" ] || cannot_run "dbus-broker needs a booted systemd, and $obstacle"
            [ -x /usr/bin/dbus-broker-launch ] || cannot_run "no dbus-broker (package dbus-broker)"
        fi
        if [ -n "$obstacle" ]; then
            echo "sandbox: cannot boot systemd here ($obstacle); using the plain sandbox, where the bus's launch helper starts the daemon" >&2
        else
            export VEXA_SANDBOX_BOOTED=1
            state=$(mktemp -d /tmp/vexa-sandbox.XXXXXX)
            status=0
            # In a pid namespace of its own too, so that nothing of the
            # booted system outlives the sandbox.
            unshare --mount --pid --fork --mount-proc --propagation private \
                "$here/sandbox.sh" --build-dir "$build_dir" \
                --debs "$debs_dir" --bus "$bus" --boot-inner "$state" -- "$@" || status=$?
            rm -rf "$state"
            exit "$status"
        fi
    fi
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

# --- booted: inside a private mount and pid namespace -----------------------
if [ -n "$boot_inner" ]; then
    state=$boot_inner
    mount -t tmpfs -o mode=0755 vexa-sandbox "$state"
    # The container's systemd needs the unified cgroup hierarchy; on a host
    # with the legacy one, a cgroup2 of this namespace's own stands in.
    if [ "$(stat -fc %T /sys/fs/cgroup)" != cgroup2fs ]; then
        mount -t tmpfs -o mode=0755 vexa-cgroup /sys/fs/cgroup
        mount -t cgroup2 cgroup2 /sys/fs/cgroup
    fi
    root=$state/root
    mkdir "$state/upper" "$state/work" "$root"
    mount -t overlay overlay -o "lowerdir=/,upperdir=$state/upper,workdir=$state/work" "$root"
    rm -f "$root/etc/machine-id" "$root/var/lib/dbus/machine-id"
    systemd-machine-id-setup --root "$root" >/dev/null 2>&1
    # The system bus: dbus.service is either dbus-daemon's own unit or, as an
    # alias in /etc, dbus-broker's.
    alias=$root/etc/systemd/system/dbus.service
    case "$(readlink "$alias" || true)" in */dbus-broker.service) rm -f "$alias" ;; esac
    if [ "$bus" = broker ]; then
        for unit_dir in /usr/lib/systemd/system /lib/systemd/system; do
            [ -e "$root$unit_dir/dbus-broker.service" ] || continue
            ln -sfn "$unit_dir/dbus-broker.service" "$alias"
            break
        done
        [ -L "$alias" ] || { echo "sandbox: no dbus-broker.service" >&2; exit 1; }
    fi
    # Periodic jobs that missed their time would run at once after boot.
    for timer in "$root"/etc/systemd/system/timers.target.wants/*.timer; do
        [ -e "$timer" ] && ln -sf /dev/null "$root/etc/systemd/system/${timer##*/}"
    done

    # dpkg in a chroot, with the /dev and /proc that the overlay of / lacks;
    # the .debs are copied in and removed again, so that nothing of them stays.
    mkdir -p "$root/tmp/vexa-debs"
    cp "$debs_dir"/*.deb "$root/tmp/vexa-debs/"
    mount --rbind /dev "$root/dev"
    mount -t proc proc "$root/proc"
    status=0
    DEBIAN_FRONTEND=noninteractive chroot "$root" sh -c 'dpkg -i /tmp/vexa-debs/*.deb' \
        >"$state/install.log" 2>&1 || status=$?
    umount -R "$root/dev" "$root/proc"
    rm -rf "$root/tmp/vexa-debs"
    [ "$status" -eq 0 ] || { cat "$state/install.log" >&2; echo "sandbox: dpkg -i failed" >&2; exit 1; }
    for program in tarvo-vexa-settings tarvo-vexa-window tarvo-vexa-manager vexa-pref-call; do
        install -m 0755 "$build_dir/tools/vexa-pref-call" "$root/usr/bin/$program"
    done
    mkdir -p "$root/var/tmp/vexa-sandbox"

    # Every cgroup2 mount shows the one hierarchy, so the booted system
    # keeps to a cgroup of its own, a fresh child of this one, where another
    # sandbox's systemd neither sees nor kills it. Where this cgroup cannot
    # be written, the system is booted in it as it is.
    cgroup=/sys/fs/cgroup$(sed -n 's/^0:://p' /proc/self/cgroup)/${state##*/}
    mkdir "$cgroup" 2>/dev/null || {
        echo "sandbox: cannot make a cgroup of its own below ${cgroup%/*}: booting in that one" >&2
        cgroup=""
    }

    started=$SECONDS
    top=$(cd "$here/../.." && pwd)
    (
        if [ -n "$cgroup" ] && ! echo "$BASHPID" >"$cgroup/cgroup.procs"; then
            echo "sandbox: cannot enter the cgroup $cgroup: booting outside it" >&2
        fi
        SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 exec systemd-nspawn -D "$root" -b --register=no --keep-unit \
            --link-journal=no --console=passive --private-network \
            --bind-ro="$top" --bind="$build_dir" --bind-ro="$state/upper:/run/vexa-sandbox-changes/upper_"
    ) >"$state/nspawn.out" 2>&1 &
    nspawn=$!
    init=""
    # The booted system is powered off whatever happens; what is left of it
    # after a minute dies with this pid namespace. Its cgroup goes once empty,
    # the folders the booted systemd made below it first.
    trap 'if [ -n "$init" ] && kill -0 "$nspawn" 2>/dev/null; then
              nsenter -t "$init" -a systemctl poweroff 2>/dev/null || kill "$nspawn"
              for _ in $(seq 1 600); do kill -0 "$nspawn" 2>/dev/null || break; sleep 0.1; done
          fi
          if [ -n "$cgroup" ]; then
              for _ in $(seq 1 600); do grep -qx "populated 0" "$cgroup/cgroup.events" && break; sleep 0.1; done
              find "$cgroup" -depth -type d -exec rmdir {} + 2>/dev/null ||
                  echo "sandbox: could not remove the cgroup $cgroup" >&2
          fi' EXIT
    # The container's init is nspawn's child named systemd.
    for _ in $(seq 1 1200); do
        init=$( (ps -o pid=,comm= --ppid "$nspawn" || true) | awk '$2 == "systemd" { print $1 }')
        [ -n "$init" ] || ! kill -0 "$nspawn" 2>/dev/null && break
        sleep 0.05
    done
    running=""
    for _ in $(seq 1 1200); do
        [ -n "$init" ] && kill -0 "$nspawn" 2>/dev/null || break
        running=$(nsenter -t "$init" -a systemctl is-system-running 2>/dev/null) || true
        case "$running" in running | degraded) break ;; esac
        sleep 0.1
    done
    case "$running" in
        running) echo "sandbox: booted systemd in $((SECONDS - started)) s: running" >&2 ;;
        degraded)
            echo "sandbox: booted systemd in $((SECONDS - started)) s: degraded, failed units:" >&2
            nsenter -t "$init" -a systemctl --failed --no-legend >&2
            ;;
        *)
            cat "$state/nspawn.out" >&2
            echo "sandbox: the container did not boot (state: ${running:-none})" >&2
            exit 1
            ;;
    esac
    status=0
    unset LD_PRELOAD LD_LIBRARY_PATH LD_AUDIT
    VEXA_SANDBOX=1 VEXA_SANDBOX_STATE=/var/tmp/vexa-sandbox VEXA_BUILD_DIR="$build_dir" VEXA_SANDBOX_BUS="$bus" \
        VEXA_SANDBOX_DEBS="$debs_dir" VEXA_SANDBOX_CHANGES=/run/vexa-sandbox-changes \
        nsenter -t "$init" -a "$@" || status=$?
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
