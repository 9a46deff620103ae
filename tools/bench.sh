#!/bin/sh
# Runs the benchmarks: installs what they need (the module, the Python peers
# and the headers those build against), then prints the tables.  Arguments go
# to bench/bench.py (--quick for one short round, --rounds N, --seconds S; see
# --help).  The get_all table boots a throwaway systemd container: it needs
# root and systemd-nspawn (tools/setup.sh installs systemd-container).
# `tools/bench.sh --profile [--paths ...] [--impls ...] [--functions]` runs
# bench/profile.py instead: the table of instructions and system calls per
# call of every path, the C baselines and the peers, under valgrind and
# strace (see `--profile --help`).
set -eu
cd "$(dirname "$0")/.."
tools/setup.sh

# dbus-python and PyGObject build from source against these; the profile
# runs under valgrind and strace.
PACKAGES="gcc libdbus-1-dev libglib2.0-dev libcairo2-dev libgirepository1.0-dev valgrind strace
    python3-systemd"
missing=""
for pkg in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
        missing="$missing $pkg"
done
if [ -n "$missing" ]; then
    echo "bench: installing Debian packages:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    # shellcheck disable=SC2086
    apt-get install -y -q --no-install-recommends $missing
fi
if ! .venv/bin/python -c 'import dbus, gi, dbus_fast, pystemd, jeepney, sdbus' 2>/dev/null; then
    echo "bench: installing the Python peers"
    # The "bench" extra of pyproject.toml, each built in isolation as usual.
    .venv/bin/python -c 'import tomllib
print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["bench"]))' |
        xargs -d '\n' .venv/bin/python -m pip --disable-pip-version-check -q install
fi
if [ "${1:-}" = "--profile" ]; then
    shift
    exec .venv/bin/python -m bench.profile "$@"
fi
if [ $# -eq 0 ]; then
    # A full run's output is kept for the documentation's tables and charts
    # (docs/benchmarks.md), once the run has ended with its total time.
    out=bench/results/latest.txt
    .venv/bin/python -u -m bench.bench | tee "$out.new"
    if grep -q " s in all)" "$out.new"; then mv "$out.new" "$out"; else rm -f "$out.new"; exit 1; fi
    exit 0
fi
exec .venv/bin/python -m bench.bench "$@"
