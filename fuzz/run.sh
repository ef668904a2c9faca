#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer into build-fuzz/, then fuzzes each for SECONDS
# (default 30) starting from its checked-in corpus.
#
#   bash fuzz/run.sh          # about a minute and a half in all, as CI runs it
#   bash fuzz/run.sh 600      # ten minutes per target
#
# The repository's corpus is never written: each target works on a scratch
# copy in build-fuzz/<target>.d/corpus, where new inputs stay for inspection.
# A crash, leak, sanitizer report or failed check ends with a non-zero status
# and names the input that caused it; replay it with
# build-fuzz/<target> <file> (or build/fuzz/<target>_replay <file>).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
if ! [[ $seconds =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: bash fuzz/run.sh [seconds per target]" >&2
  exit 2
fi

out=build-fuzz
cxx=${CXX_FUZZ:-clang++}
if ! command -v "$cxx" >/dev/null; then
  echo "fuzz/run.sh: $cxx not found; install clang (scripts/setup.sh does)" >&2
  exit 1
fi

# Never contract floating point: the input reader's fast parser must match
# the stream bit for bit, as in every other build (fast-math is refused by
# som/base/exact_build.h in the library's computing sources).
common=(-std=c++17 -g -O1 -fno-omit-frame-pointer -ffp-contract=off
        -fsanitize=address,undefined -fno-sanitize-recover=all
        -I. -Itool -Icommon)
mkdir -p "$out/obj"

probe="$out/obj/libfuzzer-probe"
if ! echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char *, unsigned long) { return 0; }' |
    "$cxx" -x c++ - -fsanitize=fuzzer,address,undefined -o "$probe" 2>"$probe.log"; then
  echo "fuzz/run.sh: $cxx cannot link a libFuzzer target (is clang's fuzzer runtime," \
       "libclang_rt.fuzzer, installed?):" >&2
  cat "$probe.log" >&2
  exit 1
fi

# The library and tool sources the targets reach, with -fsanitize=fuzzer-no-link
# for coverage without a second main(). Each kernel set is compiled for its
# own instruction-set level, as in the CMake build.
# Every source under som/ is the library's.
mapfile -t library < <(find som -name '*.cpp' | sort)
library+=(tool/options.cpp common/file_io.cpp common/input_table.cpp common/paths.cpp)
isa_flags() {  # source
  case $1 in
    */kernels_avx2.cpp) echo "-mavx2 -mfma" ;;
    */kernels_avx512.cpp) echo "-mavx512f" ;;
  esac
}

# Recompiles a source when it, any header, this script or the compiler
# changed since its object was made.
stamp="$out/obj/flags"
flags_now="$("$cxx" --version | head -1) ${common[*]}"
[ -f "$stamp" ] && [ "$(cat "$stamp")" = "$flags_now" ] || rm -f "$out"/obj/*.o
echo "$flags_now" >"$stamp"
newest_header=$(ls -t $(find som tool common -name '*.h' -o -name '*.inc') fuzz/run.sh | head -1)
compile() {  # source object [flags...]
  local source=$1 object=$2
  shift 2
  if [ ! -f "$object" ] || [ "$source" -nt "$object" ] || [ "$newest_header" -nt "$object" ]; then
    "$cxx" "${common[@]}" "$@" -c "$source" -o "$object"
  fi
}

objects=()
pids=()
for source in "${library[@]}"; do
  object="$out/obj/$(echo "$source" | tr / _).o"
  objects+=("$object")
  # shellcheck disable=SC2046
  compile "$source" "$object" -fsanitize=fuzzer-no-link $(isa_flags "$source") &
  pids+=($!)
  # Two compilers at a time.
  if [ ${#pids[@]} -ge 2 ]; then wait "${pids[0]}"; pids=("${pids[@]:1}"); fi
done
for pid in "${pids[@]}"; do wait "$pid"; done

# target:max_len. Inputs beyond these sizes only repeat what shorter ones
# exercise (more lines, more weights, more words) and slow fuzzing down.
targets=(fuzz_input_reader:2048 fuzz_map_loader:4096 fuzz_options:256 fuzz_engine:4096)

status=0
summary=()
for entry in "${targets[@]}"; do
  target=${entry%%:*}
  max_len=${entry##*:}
  object="$out/obj/$target.o"
  compile "fuzz/$target.cpp" "$object" -fsanitize=fuzzer
  "$cxx" "${common[@]}" -fsanitize=fuzzer "$object" "${objects[@]}" -lm -lpthread -o "$out/$target"

  work="$out/$target"
  rm -rf "$work.d"
  mkdir -p "$work.d/corpus" "$work.d/artifacts"
  cp -p "fuzz/corpus/$target"/* "$work.d/corpus/" 2>/dev/null || true
  log="$work.d/log"
  echo "== $target: fuzzing for $seconds s (max_len $max_len)" >&2
  rc=0
  "$out/$target" -max_total_time="$seconds" -max_len="$max_len" -timeout=20 \
    -rss_limit_mb=2560 -print_final_stats=1 -artifact_prefix="$work.d/artifacts/" \
    "$work.d/corpus" >"$log" 2>&1 || rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  if [ "$rc" -ne 0 ]; then
    status=1
    echo "FAILED: $target (status $rc) after ${runs:-?} executions; last lines of $log:" >&2
    tail -n 40 "$log" >&2
    for artifact in "$work.d/artifacts"/*; do
      [ -e "$artifact" ] && echo "crashing input: $artifact" >&2
    done
    summary+=("$target: FAILED after ${runs:-?} executions")
  else
    summary+=("$target: ${runs:-?} executions in $seconds s, no failure")
  fi
done

echo "== fuzzing summary" >&2
printf '%s\n' "${summary[@]}" >&2
exit "$status"
