#!/bin/sh
# Builds the documentation site (docs/) into docs/_build/html with Sphinx,
# every warning an error: the guides and references in docs/, the package's
# API from its docstrings (the installed package in .venv), and the
# benchmark's charts from bench/results/latest.txt.
set -eu
cd "$(dirname "$0")/.."
[ -x .venv/bin/sphinx-build ] || { echo "docs: Sphinx is missing: run tools/setup.sh" >&2; exit 1; }
rm -rf docs/_build docs/_generated
.venv/bin/sphinx-build -W --keep-going -q -b html docs docs/_build/html
echo "docs: built docs/_build/html/index.html"
