#!/bin/sh
# Runs a command in a throwaway chroot of a root made by tools/debian_root.sh,
# with this clone at /src (its working folder there), read-write: what the
# command builds there (venvs, build folders, wheels) stays in the clone.
#
#   tools/chroot.sh [--host-toolchain] ROOT COMMAND [ARG...]
#
# --host-toolchain also gives the chroot this machine's own g++ as
# /usr/local/bin/host-g++: it runs in a chroot of an overlay of this
# machine's root, which sees /src, /dev, /tmp's contents as written there
# and the root's Python headers at the same paths.  A module built with it
# links this machine's libstdc++ and glibc versions, not the root's newer
# ones (tools/wheel.sh builds the wheels for the root's CPythons so).
#
# The chroot is an overlay of ROOT on a tmpfs, so the cached root is never
# written; it has its own /proc, the host's /dev and /sys, and a private
# /tmp.  Everything runs in a mount and PID namespace of its own: when the
# command ends, every process it left (a bus daemon, say) is ended with it
# and every mount goes away with the namespace, on every way out.  pip's
# cache is kept beside the roots, so a second run downloads nothing.
set -eu
HOST_TOOLCHAIN=""
if [ "${1:-}" = --host-toolchain ]; then
    HOST_TOOLCHAIN=1
    shift
fi
ROOT="${1:?usage: tools/chroot.sh [--host-toolchain] ROOT COMMAND [ARG...]}"
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
    root="$1" folder="$2" src="$3" pip_cache="$4" host_toolchain="$5"
    shift 5
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
    if [ -n "$host_toolchain" ]; then
        # This machine'"'"'s root, written only in the tmpfs, inside the chroot.
        mkdir "$folder/hup" "$folder/hwork" "$r/host"
        mount -t overlay overlay -o "lowerdir=/,upperdir=$folder/hup,workdir=$folder/hwork" "$r/host"
        mount -t proc proc "$r/host/proc"
        mount --rbind /dev "$r/host/dev"
        mkdir -p "$r/host/src"
        mount --bind "$src" "$r/host/src"
        for include in "$r"/usr/include/python3.* "$r"/usr/include/x86_64-linux-gnu/python3.*; do
            inside="${include#"$r"}"
            mkdir -p "$r/host$inside"
            mount --bind "$include" "$r/host$inside"
        done
        mkdir -p "$r/usr/local/bin"
        # The compiler runs where it was called from (relative paths).
        printf "%s\n" "#!/bin/sh" "exec chroot /host /bin/sh -c '"'"'cd \"\$0\" && exec g++ \"\$@\"'"'"' \"\$PWD\" \"\$@\"" \
            >"$r/usr/local/bin/host-g++"
        chmod 755 "$r/usr/local/bin/host-g++"
    fi
    # Not exec: the command does not become the namespace'"'"'s first process,
    # which the kernel keeps from default signal actions (a test that
    # interrupts itself would be left running).
    chroot "$r" sh -c "cd /src && exec \"\$@\"" sh "$@"
' sh "$ROOT" "$FOLDER" "$SRC" "$PIP_CACHE" "$HOST_TOOLCHAIN" "$@" || status=$?
# Only an empty folder is left (its tmpfs went with the namespace).
rmdir "$FOLDER" || true
exit "$status"
