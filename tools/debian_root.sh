#!/bin/sh
# Makes one of the Debian roots the tests boot or build in, once: later runs
# find it in the cache and reuse it.  Prints the root's path on its last line.
#
#   tools/debian_root.sh NAME
#
#   debian12   Debian 12 (bookworm): systemd 252 and CPython 3.11, without a
#              compiler or -dev package (the wheels' install check)
#   debian13   Debian 13 (trixie): systemd 257 and CPython 3.13, without a
#              compiler (the real systemd tier's 257, the wheels' check)
#   testing    Debian testing (forky): systemd 262, CPython 3.14 and 3.15
#              with their headers, g++, libsystemd-dev 262 and what the
#              regular suite runs (the real tier's 262, the build and the
#              suite on 3.14 and 3.15: tools/testing_pythons.sh)
#   testing-run  the same release without a compiler or -dev package (the
#              wheels' check for 3.14 and 3.15)
#
#   VQ_ROOTS   the folder holding the roots (default /var/cache/varquin/roots);
#              each is NAME there
#
# Every root can boot (systemd, dbus, logind).  The list of packages a root
# was made with is kept beside it; a root made with another list is made
# again, so that a change of the list below reaches every cache.  A root is
# built beside its final place and renamed into it only when debootstrap
# succeeded, so an interrupted run leaves no half-made root that a later run
# would take for a finished one; two runs making the same root at once take
# turns (a lock beside it).  debootstrap comes from tools/setup.sh and
# takes the mirror it defaults to.
set -eu

NAME="${1:?usage: tools/debian_root.sh debian12|debian13|testing|testing-run}"
CACHE="${VQ_ROOTS:-/var/cache/varquin/roots}"
BOOT="dbus,systemd,systemd-sysv,libpam-systemd,tzdata"
# bookworm's debootstrap has no script named for Debian testing: its sid
# script makes it (an empty mirror argument keeps debootstrap's default).
SCRIPT=""
case "$NAME" in
debian12) SUITE=bookworm INCLUDE="$BOOT,python3-venv" ;;
debian13) SUITE=trixie INCLUDE="$BOOT,python3-venv" ;;
testing)
    SUITE=forky SCRIPT=sid
    # The regular suite's tools: the bus daemon, busctl (systemd), gdbus,
    # socat, objdump and nm, and ldd (libc-bin, always there).
    INCLUDE="$BOOT,python3.14-dev,python3.14-venv,python3.15-dev,python3.15-venv,g++,pkg-config"
    INCLUDE="$INCLUDE,libsystemd-dev,binutils,libglib2.0-bin,socat"
    ;;
testing-run) SUITE=forky SCRIPT=sid INCLUDE="$BOOT,python3.14-venv,python3.15-venv" ;;
*)
    echo "debian_root: no root named $NAME" >&2
    exit 2
    ;;
esac
ROOT="$CACHE/$NAME"
STAMP="$ROOT.packages"

made() { [ -x "$ROOT/usr/lib/systemd/systemd" ] && [ "$(cat "$STAMP" 2>/dev/null)" = "$SUITE $INCLUDE" ]; }
if made; then
    echo "$ROOT"
    exit 0
fi
command -v debootstrap >/dev/null || { echo "debian_root: debootstrap is not installed" >&2; exit 1; }

mkdir -p "$CACHE"
exec 9>"$ROOT.lock"
flock 9
if made; then
    echo "$ROOT"
    exit 0
fi
PARTIAL="$ROOT.partial"
rm -rf "$PARTIAL"
echo "debian_root: debootstrap of $SUITE into $ROOT, a few minutes" >&2
began=$(date +%s)
# shellcheck disable=SC2086
if ! debootstrap --variant=minbase --include="$INCLUDE" "$SUITE" "$PARTIAL" "" $SCRIPT \
    >"$PARTIAL.log" 2>&1; then
    echo "debian_root: debootstrap failed; the end of its log ($PARTIAL.log):" >&2
    tail -n 15 "$PARTIAL.log" >&2
    rm -rf "$PARTIAL"
    exit 1
fi
# Downloaded packages are not needed to boot or build: keep the cache small.
rm -rf "$PARTIAL/var/cache/apt/archives/"*.deb
# pip inside the root trusts what the machine trusts (a proxy's certificate
# included).
if [ -f /etc/ssl/certs/ca-certificates.crt ]; then
    mkdir -p "$PARTIAL/etc/ssl/certs"
    cp /etc/ssl/certs/ca-certificates.crt "$PARTIAL/etc/ssl/certs/ca-certificates.crt"
fi
rm -rf "$ROOT" "$STAMP"
mv "$PARTIAL" "$ROOT"
mv "$PARTIAL.log" "$ROOT.log"
echo "$SUITE $INCLUDE" >"$STAMP"
echo "debian_root: $NAME made in $(($(date +%s) - began)) s" >&2
echo "$ROOT"
