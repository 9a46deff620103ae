#!/bin/sh
# Makes the Debian 13 root that the real systemd tier boots systemd 257 from
# (the lower layer of its throwaway container), once: later runs find it in
# the cache and reuse it.  Prints the root's path on its last line.
#
#   VQ_SYSTEMD257_ROOT   where the root lives (default below)
#
# The root is built beside its final place and renamed into it only when
# debootstrap succeeded, so an interrupted run leaves no half-made root that
# a later run would take for a finished one.  debootstrap comes from
# tools/setup.sh; it takes the mirror it defaults to.
set -eu

ROOT="${VQ_SYSTEMD257_ROOT:-/var/cache/varquin/debian13-root}"
INCLUDE="dbus,systemd,systemd-sysv,libpam-systemd,tzdata"

if [ -x "$ROOT/usr/lib/systemd/systemd" ]; then
    echo "$ROOT"
    exit 0
fi
command -v debootstrap >/dev/null || { echo "systemd257_root: debootstrap is not installed" >&2; exit 1; }

mkdir -p "$(dirname "$ROOT")"
PARTIAL="$ROOT.partial"
rm -rf "$PARTIAL"
echo "systemd257_root: debootstrap of Debian 13 (trixie) into $ROOT, about a minute" >&2
if ! debootstrap --variant=minbase --include="$INCLUDE" trixie "$PARTIAL" >"$PARTIAL.log" 2>&1; then
    echo "systemd257_root: debootstrap failed; the end of its log ($PARTIAL.log):" >&2
    tail -n 15 "$PARTIAL.log" >&2
    rm -rf "$PARTIAL"
    exit 1
fi
# Downloaded packages are not needed to boot: keep the cache small.
rm -rf "$PARTIAL/var/cache/apt/archives/"*.deb
mv "$PARTIAL" "$ROOT"
mv "$PARTIAL.log" "$ROOT.log"
echo "$ROOT"
