#!/bin/sh
# Checks layout and lint, the type stub and the user's wheels, then runs the
# whole test suite: once against the regular build, then once more against a
# build with AddressSanitizer and UndefinedBehaviorSanitizer, and the regular
# suite once on each other CPython (3.12 and 3.13 here, see tools/pythons.sh;
# 3.14 and 3.15 in a chroot of the Debian testing root), without the real
# systemd and remote tiers, which the default runs.
# Exits non-zero on any failure, on any sanitizer report that concerns the
# module, and when no test ran.
set -eu
cd "$(dirname "$0")/.."
# Every build treats compiler warnings as errors.
export VQ_WERROR=ON
# The wire fuzz gets 15 s in each run of the suite (60 by default), and 45 s
# more under the sanitizers at the end.
export VQ_FUZZ_SECONDS="${VQ_FUZZ_SECONDS:-15}"
tools/setup.sh
tools/pythons.sh | while read -r version python; do
    [ "$python" = - ] || VQ_PYTHON="$python" VQ_VENV=".venv-$version" tools/setup.sh
done

echo "== the Debian roots (tools/debian_root.sh): systemd 257 and 262, CPython 3.14 and 3.15, none with a compiler"
# Made once and cached outside the clone: Debian 13 and testing for the real
# systemd tier, testing for the builds and the suite on 3.14 and 3.15, and
# Debian 12, 13 and a testing root without a compiler for the wheels.
for name in debian13 testing debian12 testing-run; do
    tools/debian_root.sh "$name" >/dev/null
done
TESTING="$(tools/debian_root.sh testing)"
for version in $(tools/pythons.sh --testing); do
    tools/chroot.sh "$TESTING" env VQ_NO_APT=1 VQ_PYTHON="python$version" VQ_VENV=".venv-$version" tools/setup.sh
done

echo "== layout and lint (tools/lint.sh)"
tools/lint.sh

echo "== types (mypy stubtest against the built modules, mypy --strict on the package and tests/typing)"
.venv/bin/python -m mypy.stubtest _varquin varquin
.venv/bin/python -m mypy --strict --no-incremental src/varquin tests/typing tools/build_backend.py tools/check_wheel.py \
    tools/check_wheel_roots.py

echo "== documentation (tools/docs.sh: Sphinx, warnings are errors)"
tools/docs.sh

echo "== wheel (tools/wheel.sh)"
tools/wheel.sh

echo "== tests (regular build)"
.venv/bin/python -m pytest -p no:cacheprovider "$@"

tools/pythons.sh | while read -r version python; do
    if [ "$python" = - ]; then
        echo "== tests on CPython $version: did not run: no python$version on this machine"
    else
        echo "== tests on CPython $version ($python; without the real systemd and remote tiers)"
        ".venv-$version/bin/python" -m pytest -p no:cacheprovider -m "not real_systemd and not remote" "$@"
    fi
done
for version in $(tools/pythons.sh --testing); do
    echo "== tests on CPython $version (the Debian testing root; without the real systemd and remote tiers)"
    tools/chroot.sh "$TESTING" ".venv-$version/bin/python" -m pytest -p no:cacheprovider \
        -m "not real_systemd and not remote" "$@"
done

echo "== tests (AddressSanitizer + UndefinedBehaviorSanitizer build)"
.venv/bin/python -m pip --disable-pip-version-check -q install --no-build-isolation --no-deps \
    --upgrade --target build/asan-site \
    -C cmake.define.VQ_SANITIZE=ON -C cmake.define.VQ_WERROR=ON -C build-dir=build/asan .
LOGS="$PWD/build/asan-logs"
rm -rf "$LOGS" && mkdir -p "$LOGS"
ASAN_RUNTIME="$(g++ -print-file-name=libasan.so)"
set +e
env LD_PRELOAD="$ASAN_RUNTIME" PYTHONPATH="$PWD/build/asan-site" \
    ASAN_OPTIONS="exitcode=23:detect_leaks=1:log_path=$LOGS/asan:strict_string_checks=1:detect_stack_use_after_return=1" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$LOGS/ubsan" \
    VQ_SANITIZED=1 \
    .venv/bin/python -m pytest -p no:cacheprovider --junitxml="$LOGS/junit.xml" "$@"
rc=$?
set -e
.venv/bin/python tools/sanitizer_report.py --exit-code "$rc" --logs "$LOGS" --source "$PWD/src"

echo "== wire fuzz against the sanitizer build (tools/fuzz.sh --sanitized, 45 s)"
VQ_ASAN_BUILT=1 tools/fuzz.sh --sanitized 45
