#!/bin/sh
# Runs a command in a throwaway chroot of a root made by tools/debian_root.sh,
# with this clone at /src (its working folder there), read-write: what the
# command builds there (venvs, build folders, wheels) stays in the clone.
#
#   tools/chroot.sh ROOT COMMAND [ARG...]
#
# The chroot is an overlay of ROOT on a tmpfs, so the cached root is never
# written; it has its own /proc, the host's /dev and /sys, and a private
# /tmp.  Everything runs in a mount and PID namespace of its own: when the
# command ends, every process it left (a bus daemon, say) is ended with it
# and every mount goes away with the namespace, on every way out.  pip's
# cache is kept beside the roots, so a second run downloads nothing.
set -eu
ROOT="${1:?usage: tools/chroot.sh ROOT COMMAND [ARG...]}"
shift
SRC="$(cd "$(dirname "$0")/.." && pwd)"
PIP_CACHE="${VQ_ROOTS:-/var/cache/varquin/roots}/pip-cache"
mkdir -p "$PIP_CACHE"
[ -x "$ROOT/usr/bin/env" ] || { echo "chroot: $ROOT is not a root" >&2; exit 1; }
FOLDER="$(mktemp -d /tmp/vq-chroot-XXXXXX)"

# The environment inside: a clean one, with the build's switches and the
# machine's proxy settings, and pip trusting the root's copy of the machine's
# certificates (tools/debian_root.sh put it there).
set -- env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
    PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_CERT=/etc/ssl/certs/ca-certificates.crt \
    ${VQ_WERROR:+VQ_WERROR=$VQ_WERROR} ${CI:+CI=$CI} \
    ${http_proxy:+http_proxy=$http_proxy} ${https_proxy:+https_proxy=$https_proxy} \
    ${no_proxy:+no_proxy=$no_proxy} "$@"

status=0
unshare --mount --pid --fork --propagation private -- sh -eu -c '
    root="$1" folder="$2" src="$3" pip_cache="$4"
    shift 4
    # The tmpfs holds the overlay'"'"'s upper and work folders and its mount point.
    mount -t tmpfs -o mode=0755 tmpfs "$folder"
    mkdir "$folder/up" "$folder/work" "$folder/root"
    mount -t overlay overlay -o "lowerdir=$root,upperdir=$folder/up,workdir=$folder/work" "$folder/root"
    r="$folder/root"
    mount -t proc proc "$r/proc"
    mount --rbind /dev "$r/dev"
    mount --rbind /sys "$r/sys"
    mount -t tmpfs -o mode=1777 tmpfs "$r/tmp"
    mkdir -p "$r/src" "$r/root/.cache/pip"
    mount --bind "$src" "$r/src"
    mount --bind "$pip_cache" "$r/root/.cache/pip"
    cp /etc/resolv.conf "$r/etc/resolv.conf"
    # Not exec: the command does not become the namespace'"'"'s first process,
    # which the kernel keeps from default signal actions (a test that
    # interrupts itself would be left running).
    chroot "$r" sh -c "cd /src && exec \"\$@\"" sh "$@"
' sh "$ROOT" "$FOLDER" "$SRC" "$PIP_CACHE" "$@" || status=$?
# Only an empty folder is left (its tmpfs went with the namespace).
rmdir "$FOLDER" || true
exit "$status"
