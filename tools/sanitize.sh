#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer (the
# asan-ubsan preset) in build-asan/ (or $SANITIZE_BUILD), then runs the C++
# tests (leak check on) and the Python tests (Debian's python3 with the ASan
# runtime preloaded). Exits non-zero on any test failure or sanitizer report.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${SANITIZE_BUILD:-$root/build-asan}
python=/usr/bin/python3

mkdir -p "$build"
(cd "$root" && cmake --preset asan-ubsan -B "$build" -DPython3_EXECUTABLE="$python") \
    > "$build/configure.log" 2>&1 || { cat "$build/configure.log"; exit 1; }
cmake --build "$build" -j "$(nproc)"

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0

echo "== C++ tests (ASan + UBSan + LeakSanitizer)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1 \
    "$build/vorlan_tests" || status=1

echo "== Python tests (ASan + UBSan runtime preloaded)"
libasan=$(g++ -print-file-name=libasan.so)
[ -e "$libasan" ] || { echo "no libasan.so at $libasan"; exit 1; }
py_status=0
# The interpreter itself is not built for leak checking, so leaks are checked
# in the C++ run and by test_leaks.py in the ordinary test run. The packaging
# test builds a module of its own, without the sanitizers.
LD_PRELOAD="$libasan" ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
    VORLAN_BUILD_DIR="$build" PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}" \
    "$python" -m pytest -q -p no:cacheprovider "$root/tests/python" \
    --ignore="$root/tests/python/test_packaging.py" || py_status=$?
# pytest's 5 means "no tests collected", which is no failure of the module.
[ "$py_status" -eq 0 ] || [ "$py_status" -eq 5 ] || status=1

[ "$status" -eq 0 ] && echo "sanitize: clean" || echo "sanitize: FAILED"
exit "$status"
