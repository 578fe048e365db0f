#!/usr/bin/env bash
# Builds the two Debian packages with `dpkg-buildpackage -us -uc -b` and puts
# them in OUTDIR, then runs lintian on them, failing on any error or warning
# (its report is printed and kept in OUTDIR/lintian.log). A warning that is
# wrong for us is overridden in debian/<package>.lintian-overrides, with the
# reason.
#
#   scripts/build-debs.sh OUTDIR
#
# The build runs in a temporary copy of the work tree's source files
# (scripts/tree-files.sh), never in the work tree itself,
# so nothing it leaves behind (debian/ build folders, obj-*) lands there.
# When the copy is the same as for the packages already in OUTDIR, they are
# kept and nothing is built.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [ $# -ne 1 ]; then
    echo "usage: scripts/build-debs.sh OUTDIR" >&2
    exit 2
fi
mkdir -p "$1"
outdir=$(cd "$1" && pwd)
packages=(tarvo-vexa-settings-daemon tarvo-vexa-sensorwindow)

work=$(mktemp -d /tmp/vexa-debs.XXXXXX)
trap 'rm -rf "$work"' EXIT
src=$work/tarvo-vexa-helpers

# The work tree's files in a tar with fixed owners, times and order, so that
# its checksum changes only with the content.
bash "$top/scripts/tree-files.sh" \
    | tar -C "$top" --null -T - --sort=name --mtime=@0 --owner=0 --group=0 --numeric-owner \
          -cf "$work/source.tar"
fingerprint="$(sha256sum <"$work/source.tar" | cut -d' ' -f1) ${DEB_BUILD_OPTIONS:-}"

up_to_date=1
[ "$(cat "$outdir/source.sha256" 2>/dev/null)" = "$fingerprint" ] || up_to_date=0
for package in "${packages[@]}"; do
    compgen -G "$outdir/${package}_*.deb" >/dev/null || up_to_date=0
done
if [ "$up_to_date" -eq 1 ]; then
    echo "build-debs: the packages in $outdir are up to date"
    exit 0
fi
rm -f "$outdir/source.sha256"

mkdir -p "$src"
# Fresh file times: the fixed ones above would make lintian see ancient files.
tar -C "$src" --touch -xf "$work/source.tar"
cd "$src"
dpkg-checkbuilddeps || { echo "build-debs: install the build dependencies (scripts/ensure-packages.sh)" >&2; exit 1; }

jobs=$(nproc 2>/dev/null || echo 1)
[ "$jobs" -gt 2 ] && jobs=2
echo "build-debs: dpkg-buildpackage -us -uc -b (log: $outdir/build-debs.log)"
if ! DEB_BUILD_OPTIONS="parallel=$jobs ${DEB_BUILD_OPTIONS:-}" \
        dpkg-buildpackage -us -uc -b >"$outdir/build-debs.log" 2>&1; then
    tail -n 40 "$outdir/build-debs.log" >&2
    echo "build-debs: dpkg-buildpackage failed (whole log: $outdir/build-debs.log)" >&2
    exit 1
fi

# Only the two programs' packages; older builds of them go first, so that the
# folder always holds one matching pair.
debs=()
for package in "${packages[@]}"; do
    rm -f "$outdir/${package}"_*.deb
    built=("$work/${package}"_*.deb)
    [ -f "${built[0]}" ] || { echo "build-debs: no package built for $package" >&2; exit 1; }
    cp "${built[0]}" "$outdir/"
    debs+=("$outdir/${built[0]##*/}")
done

echo "build-debs: lintian"
status=0
lintian --fail-on error,warning "${debs[@]}" >"$work/lintian.out" 2>&1 || status=$?
# lintian frowns on running as root, which is how CI runs; that note is not ours.
grep -v '^running with root privileges is not recommended!$' "$work/lintian.out" \
    | tee "$outdir/lintian.log" || true
[ "$status" -eq 0 ] || { echo "build-debs: lintian found errors or warnings (above)" >&2; exit 1; }
echo "$fingerprint" >"$outdir/source.sha256"
printf 'build-debs: built %s\n' "${debs[@]}"
