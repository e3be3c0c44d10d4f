#!/usr/bin/env bash
# Runs the whole suite (scripts/test.sh, or the command given after the
# release) on a fresh Debian release, in a chroot made for the run:
#
#   scripts/test-on.sh trixie
#   scripts/test-on.sh trixie bash scripts/demo.sh
#
# The chroot is made with debootstrap from the Debian archive that this
# machine's own apt sources name, holds a copy of this working tree (its
# tracked and untracked files, not the build directories) and is removed at
# the end, whatever the outcome; its mounts are undone on every exit path.
# Needs root. The log of debootstrap is kept in build-chroot/.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

if [ "$#" -lt 1 ]; then
    echo "usage: scripts/test-on.sh RELEASE [COMMAND...]   (for example: trixie)" >&2
    exit 2
fi
release="$1"
shift
command=("$@")
[ "${#command[@]}" -gt 0 ] || command=(bash scripts/test.sh)

if [ "$(id -u)" -ne 0 ]; then
    echo "scripts/test-on.sh makes a chroot and must run as root" >&2
    exit 1
fi
ensure_packages debootstrap

# The archive this machine installs from: the first URIs: line of the
# deb822 sources, else the first deb line of the one-line format.
archive=""
if [ -r /etc/apt/sources.list.d/debian.sources ]; then
    archive="$(awk '/^URIs:/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources)"
fi
if [ -z "$archive" ]; then
    archive="$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
        awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i !~ /^\[/) { print $i; exit } }')"
fi
if [ -z "$archive" ]; then
    echo "cannot find a Debian archive in this machine's apt sources" >&2
    exit 1
fi

mkdir -p build-chroot
root="$(mktemp -d "${TMPDIR:-/var/tmp}/twinwarp-$release.XXXXXX")"
chmod 755 "$root"  # the chroot's /: its system users (_apt, man) must get in

# Everything mounted below the chroot, deepest first: ours, and any that
# debootstrap or a test left behind.
mounts_below_root() {
    awk -v prefix="$root/" 'index($2, prefix) == 1 { print $2 }' /proc/mounts | sort -r
}

cleanup() {
    local status=$?
    local target
    for target in $(mounts_below_root); do
        umount "$target" 2>/dev/null || umount -l "$target" 2>/dev/null || true
    done
    # Nothing of the host may still be mounted below the chroot when it is
    # removed.
    if [ -n "$(mounts_below_root)" ]; then
        echo "left $root in place: something is still mounted below it" >&2
    else
        rm -rf --one-file-system "$root"
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

echo "making a fresh Debian $release in $root from $archive"
if ! debootstrap --variant=minbase --include=git,ca-certificates "$release" "$root" "$archive" \
    >"build-chroot/debootstrap-$release.log" 2>&1; then
    tail -n 20 "build-chroot/debootstrap-$release.log" >&2
    echo "debootstrap of $release failed (log: build-chroot/debootstrap-$release.log)" >&2
    exit 1
fi

mount -t proc proc "$root/proc" || exit 1
mount -t sysfs sysfs "$root/sys" || exit 1
mount --rbind /dev "$root/dev" || exit 1
mount --make-rslave "$root/dev" || exit 1
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true

mkdir -p "$root/src"
git ls-files -z --cached --others --exclude-standard |
    tar --null --ignore-failed-read -T - -cf - | tar -C "$root/src" -xf -

echo "running '${command[*]}' on Debian $release"
env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    LANG=C.UTF-8 TERM="${TERM:-dumb}" CI="${CI:-}" \
    chroot "$root" /bin/bash -c 'cd /src && "$@"' bash "${command[@]}"
