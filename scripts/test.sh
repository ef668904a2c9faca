#!/usr/bin/env bash
# Builds and runs every test twice: an optimised build, then one under
# AddressSanitizer and UndefinedBehaviorSanitizer (the Python tests run in
# the first only); then the threaded unit tests under ThreadSanitizer.
# Tests labelled `slow` run only with SOMAP_SLOW=1.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc 2>/dev/null || echo 2)
exclude=(-LE slow)
[ "${SOMAP_SLOW:-0}" = 1 ] && exclude=()

# SOMAP_PYTHON=ON: the Python module and its pytest suite (CTest label
# python) are part of the run; a missing piece is an error, not a skip.
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DSOMAP_PYTHON=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs" "${exclude[@]}"

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DSOMAP_SANITIZE=ON -DSOMAP_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs" "${exclude[@]}"

# The library's threads under ThreadSanitizer: the unit tests that share
# networks and kernel choices between threads, train with a partner thread,
# search in parallel and hand every thread the default floating-point
# environment; and the input reader's, which parses pieces of the text on
# threads of their own.
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSOMAP_SANITIZE_THREAD=ON -DSOMAP_BENCH=OFF \
  -DSOMAP_PYTHON=OFF >/dev/null
cmake --build build-tsan -j"$jobs" --target som_unit_tests common_unit_tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 build-tsan/tests/som_unit_tests \
  --gtest_filter='Threads.*:Cancellation.*:*EngineDifferential*:*Differential*:*FloatingPoint*' --gtest_brief=1
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 build-tsan/tests/common_unit_tests \
  --gtest_filter='FastReader.*' --gtest_brief=1

# Further checks, each a script of its own that builds what it needs.
for check in fuzz/run.sh scripts/install_check.sh; do
  if [ -f "$check" ]; then
    echo "== $check" >&2
    bash "$check"
  fi
done
