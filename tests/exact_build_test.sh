#!/bin/sh
# Configuring with flags that would lose exactness stops, and says why; the
# check behind it finds contraction where a compiler fuses.
# Arguments: cmake, the source tree, the C++ compiler.
set -u
cmake=$1 source=$2 cxx=$3
dir=$(mktemp -d) || exit 1
trap 'rm -rf "$dir"' EXIT
fail() { echo "$*"; exit 1; }

# The expected reason, then the settings; only the configuration runs.
refused() {
  expected=$1; shift
  if "$cmake" -S "$source" -B "$dir/build" -DCMAKE_CXX_COMPILER="$cxx" -DSOMAP_TESTS=OFF -DSOMAP_BENCH=OFF \
       -DSOMAP_PYTHON=OFF -DSOMAP_COMPANIONS= "$@" > "$dir/out" 2>&1; then
    fail "configured with $*"
  fi
  # CMake wraps its messages: compare with the lines joined.
  tr -s ' \n' '  ' < "$dir/out" > "$dir/joined"
  for text in "somap must be built without floating-point contraction or fast-math" "$expected"; do
    grep -qF -- "$text" "$dir/joined" || { cat "$dir/out"; fail "configured with $*: no \"$text\""; }
  done
  rm -rf "$dir/build"
}

refused "#error \"somap must be built without -ffast-math: it lets the compiler reorder" -DCMAKE_CXX_FLAGS=-ffast-math
refused "programs start with subnormals flushed to zero or read as zero" -DCMAKE_EXE_LINKER_FLAGS=-ffast-math

# The probe, built as the configuration builds it, with and without a
# compiler told to fuse, where the CPU can run fused multiply-adds.
if grep -qw fma /proc/cpuinfo 2>/dev/null; then
  for contract in fast off; do
    "$cxx" -std=c++17 -O2 -mfma -ffp-contract=$contract -I"$source" "$source/cmake/exact_build_probe.cpp" \
      -o "$dir/probe" || fail "the probe did not compile with -ffp-contract=$contract"
    "$dir/probe" > "$dir/out"
    status=$?
    if [ "$contract" = fast ]; then
      [ "$status" -eq 1 ] && grep -q "fuses a multiply with an add" "$dir/out" ||
        { cat "$dir/out"; fail "the probe missed contraction"; }
    else
      [ "$status" -eq 0 ] || { cat "$dir/out"; fail "the probe refused a build that does not fuse"; }
    fi
  done
fi
exit 0
