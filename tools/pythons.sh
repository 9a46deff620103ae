#!/bin/sh
# Prints one line "VERSION INTERPRETER" for each CPython the project is
# checked on besides the default python3: 3.12 and 3.13 (VQ_PYTHONS chooses
# others; an empty VQ_PYTHONS none).  An interpreter is looked for as
# pythonX.Y on PATH, then among pyenv's versions.  A version not found is
# printed as "VERSION -", so that the caller can say it did not run.
#
# tools/pythons.sh --testing prints the CPythons of the Debian testing root
# instead (tools/debian_root.sh testing), one a line.
set -eu
if [ "${1:-}" = --testing ]; then
    echo 3.14
    echo 3.15
    exit 0
fi
for v in ${VQ_PYTHONS-3.12 3.13}; do
    found=$(command -v "python$v" 2>/dev/null || true)
    # pyenv's shims answer for every version, also one it does not select.
    if [ -n "$found" ] && ! "$found" -c '' 2>/dev/null; then found=""; fi
    if [ -z "$found" ]; then
        for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$v".*/bin/"python$v"; do
            [ -x "$candidate" ] && found="$candidate"
        done
    fi
    echo "$v ${found:--}"
done
