#!/bin/sh
# Runs the wire fuzz for longer than the regular suite does: random complete
# signatures and values both ways between varquin and jeepney on a private
# bus (tests/package/test_wire_fuzz.py).  Every round prints its seed; a
# failing one replays with VQ_FUZZ_SEED=<seed> tools/fuzz.sh.
#
#   tools/fuzz.sh [--sanitized] [SECONDS]
#
# SECONDS is the budget of the whole run (600 by default), shared by the
# properties.  --sanitized runs it against the AddressSanitizer +
# UndefinedBehaviorSanitizer build in build/asan-site (brought up to date
# here, as tools/test.sh builds it) and judges the sanitizer logs as
# tools/test.sh does.
set -eu
cd "$(dirname "$0")/.."
sanitized=no
if [ "${1:-}" = --sanitized ]; then
    sanitized=yes
    shift
fi
export VQ_FUZZ_SECONDS="${1:-600}"
TEST=tests/package/test_wire_fuzz.py

if [ "$sanitized" = no ]; then
    exec .venv/bin/python -m pytest -p no:cacheprovider -q -s "$TEST"
fi

# tools/test.sh has just built it, and says so with VQ_ASAN_BUILT=1.
if [ "${VQ_ASAN_BUILT:-}" != 1 ]; then
    .venv/bin/python -m pip --disable-pip-version-check -q install --no-build-isolation --no-deps \
        --upgrade --target build/asan-site \
        -C cmake.define.VQ_SANITIZE=ON -C cmake.define.VQ_WERROR=ON -C build-dir=build/asan .
fi
LOGS="$PWD/build/asan-fuzz-logs"
rm -rf "$LOGS" && mkdir -p "$LOGS"
ASAN_RUNTIME="$(g++ -print-file-name=libasan.so)"
set +e
env LD_PRELOAD="$ASAN_RUNTIME" PYTHONPATH="$PWD/build/asan-site" \
    ASAN_OPTIONS="exitcode=23:detect_leaks=1:log_path=$LOGS/asan:strict_string_checks=1:detect_stack_use_after_return=1" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$LOGS/ubsan" \
    VQ_SANITIZED=1 \
    .venv/bin/python -m pytest -p no:cacheprovider -q -s --junitxml="$LOGS/junit.xml" "$TEST"
rc=$?
set -e
.venv/bin/python tools/sanitizer_report.py --exit-code "$rc" --logs "$LOGS" --source "$PWD/src"
