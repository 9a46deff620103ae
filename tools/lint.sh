#!/bin/sh
# Checks the layout and lint of the tree: ruff (lint and format) for Python,
# clang-format for C and C++.  Changes nothing; prints what it would change
# and exits non-zero when anything is off.  `tools/lint.sh --fix` applies the
# fixes instead.
#
# It checks every Python, C and C++ file of the repository.
PYTHON_PATHS="."
NATIVE_PATHS="$(git ls-files --cached --others --exclude-standard '*.c' '*.h' '*.cpp' '*.hpp')"

fix=no
for arg in "$@"; do
    case "$arg" in
    --fix) fix=yes ;;
    *) echo "usage: tools/lint.sh [--fix]" >&2; exit 2 ;;
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
