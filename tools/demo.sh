#!/bin/sh
# Installs what is needed, then runs the module's tour on this host.
set -eu
cd "$(dirname "$0")/.."
tools/setup.sh
exec .venv/bin/python -m examples.tour "$@"
