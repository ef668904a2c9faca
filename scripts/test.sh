#!/usr/bin/env bash
# Builds and runs every test twice: an optimised build, then one under
# AddressSanitizer and UndefinedBehaviorSanitizer (the Python tests run in
# the first only). Tests labelled `slow` run only with SOMAP_SLOW=1.
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

# Further checks, each a script of its own that builds what it needs.
for check in fuzz/run.sh scripts/install_check.sh; do
  if [ -f "$check" ]; then
    echo "== $check" >&2
    bash "$check"
  fi
done
