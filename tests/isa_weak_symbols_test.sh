#!/bin/sh
# The objects compiled for AVX2 and AVX-512 define no weak symbol: the
# linker keeps one copy of a weak definition for every caller in the
# program, so an inline function instantiated there (std::min, std::fill, a
# helper of a shared header) could be the copy baseline code runs, and the
# program would stop on an illegal instruction on a CPU without those
# instructions. Each object must still define its kernel table, so that the
# check reads the right files.
# Arguments: nm, then the library's objects separated by semicolons (those
# of the AVX2 and AVX-512 kernel sets are picked from them).
set -u
nm=$1 objects=$2
status=0
found=0
old_ifs=$IFS
IFS=';'
for object in $objects; do
  IFS=$old_ifs
  case $object in
    *kernels_avx2.cpp.o|*kernels_avx2.cpp.obj) set_name=avx2 ;;
    *kernels_avx512.cpp.o|*kernels_avx512.cpp.obj) set_name=avx512 ;;
    *) continue ;;
  esac
  found=$((found + 1))
  symbols=$("$nm" -C "$object") || { echo "$nm could not read $object"; exit 1; }
  if ! printf '%s\n' "$symbols" | grep -q " T som_engine::${set_name}_kernels()\$"; then
    echo "$object: no som_engine::${set_name}_kernels() defined"
    status=1
  fi
  # W and V: weak functions and objects defined here; u: unique globals,
  # which the linker merges the same way. DW.ref.<personality> is no code:
  # the pointer to the C++ unwinder's personality routine that every object
  # with unwinding tables carries, the same bytes whatever the instruction
  # set.
  weak=$(printf '%s\n' "$symbols" | grep -E '^[0-9a-fA-F]* +[WVu] ' | grep -vE ' V DW\.ref\.__gxx_personality_v0$')
  if [ -n "$weak" ]; then
    echo "$object defines weak symbols, compiled for $set_name:"
    printf '%s\n' "$weak"
    status=1
  fi
done
[ "$found" -eq 2 ] || { echo "expected the avx2 and avx512 objects, found $found"; exit 1; }
exit $status
