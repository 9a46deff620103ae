#!/bin/sh
# Checks the layout and lint of the tree: ruff (lint and format) for Python,
# clang-format for C and C++.  Changes nothing; prints what it would change
# and exits non-zero when anything is off.  `tools/lint.sh --fix` applies the
# fixes instead.
#
# Only the paths listed below are checked by default (tools/test.sh runs
# that).  `tools/lint.sh --all` checks every Python, C and C++ file of the
# repository.  The two lists leave out the units and tests that are being
# rewritten elsewhere; once those are formatted (`tools/lint.sh --all --fix`),
# set both lists to what --all sets them to and the check covers the tree.
set -eu
cd "$(dirname "$0")/.."

PYTHON_PATHS="testing tests/peers tests/typing tests/conftest.py tests/real_systemd_tier.py
    tests/test_real_systemd.py tests/test_module.py tests/test_systemd.py tests/test_variant.py
    tools bench examples src/varquin tests/test_bus.py tests/test_serve.py tests/test_aio.py"
NATIVE_PATHS="src/variant.cpp src/variant.hpp src/systemd_methods.cpp src/systemd_methods.hpp
    src/core/*.cpp src/core/*.hpp src/gil.hpp src/py_ref.hpp
    bench/*.c bench/*.h"

fix=no
for arg in "$@"; do
    case "$arg" in
    --fix) fix=yes ;;
    --all)
        PYTHON_PATHS="."
        NATIVE_PATHS="$(git ls-files '*.c' '*.h' '*.cpp' '*.hpp')"
        ;;
    *) echo "usage: tools/lint.sh [--fix] [--all]" >&2; exit 2 ;;
    esac
done

RUFF=".venv/bin/ruff"
[ -x "$RUFF" ] || { echo "lint: $RUFF is missing: run tools/setup.sh" >&2; exit 1; }
command -v clang-format >/dev/null || { echo "lint: clang-format is missing: run tools/setup.sh" >&2; exit 1; }

status=0
# shellcheck disable=SC2086
if [ "$fix" = yes ]; then
    $RUFF check --fix $PYTHON_PATHS || status=1
    $RUFF format $PYTHON_PATHS || status=1
    clang-format -i $NATIVE_PATHS || status=1
else
    $RUFF check $PYTHON_PATHS || status=1
    $RUFF format --check --diff $PYTHON_PATHS || status=1
    clang-format --dry-run -Werror $NATIVE_PATHS || status=1
fi
[ "$status" = 0 ] && echo "lint: clean"
exit "$status"
