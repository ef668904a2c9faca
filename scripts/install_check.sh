#!/usr/bin/env bash
# Installs somap into a temporary prefix as a user would, then proves the
# installed pieces work on their own: the program and its manual, a C
# program built with pkg-config, the same built with find_package in a C
# project and in a C and C++ one, all of it again from an install under
# ~/.local as the README describes, the Debian package's contents, and the
# Python package installed with pip.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
work=$(mktemp -d "${TMPDIR:-/tmp}/somap-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

# A user's configure, on a machine without GoogleTest, Google Benchmark and
# pybind11 (hidden from CMake here): it must build and install without them,
# and say that the tests and the Python module are left out.
rm -rf build-install
cmake -S . -B build-install -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_pybind11=ON >"$work/configure.log" ||
  { cat "$work/configure.log" >&2; echo "install check: configure failed without GoogleTest" >&2; exit 1; }
grep -q "GoogleTest not found: the tests are not built" "$work/configure.log" ||
  { echo "install check: configure did not say that the tests are left out" >&2; exit 1; }
grep -q "the Python module is not built" "$work/configure.log" ||
  { echo "install check: configure did not say that the Python module is left out" >&2; exit 1; }
cmake --build build-install -j"$jobs" >/dev/null
cmake --install build-install --prefix "$prefix" >/dev/null

fail() { echo "install check: $*" >&2; exit 1; }
libdir=$(cd "$prefix" && dirname "$(find . -name libsom.a | head -1)")
[ -n "$libdir" ] || fail "libsom.a not installed"
for file in bin/somap bin/somap-render share/man/man1/somap.1 share/man/man1/somap-render.1 include/som/som.h \
            share/doc/somap/LICENSE "$libdir/libsom.a" \
            "$libdir/pkgconfig/som.pc" "$libdir/cmake/som/somConfig.cmake"; do
  [ -f "$prefix/$file" ] || fail "$file not installed"
done

# The installed program runs on its own.
out=$(printf '1\t2\n3\t4\n' | "$prefix/bin/somap" -x 1 -y 1 2>/dev/null)
[ "$out" = $'0\t0\t1\t2\n0\t0\t3\t4' ] || fail "installed somap printed: $out"

"$prefix/bin/somap" -x 3 -y 2 -i 5 -s "$work/tiny.map" < data/colours.tsv >/dev/null 2>&1 || fail "training failed"
"$prefix/bin/somap-render" "$work/tiny.map" | grep -q '^<svg' || fail "installed somap-render drew no SVG"

# The manuals document every option and render without warnings.
for option in --help --apply --save --width --height --iterations; do
  grep -q -- "${option//-/\\\\-}" "$prefix/share/man/man1/somap.1" || fail "somap.1 lacks $option"
done
for option in --help --output --winners --cell --stats; do
  grep -q -- "${option//-/\\\\-}" "$prefix/share/man/man1/somap-render.1" || fail "somap-render.1 lacks $option"
done
if command -v groff >/dev/null; then
  for page in somap somap-render; do
    warnings=$(groff -man -Tutf8 -ww -t "$prefix/share/man/man1/$page.1" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$page.1: $warnings"
  done
fi

# A C program against the installed library, through pkg-config.
export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror -o "$work/check-pkg" tests/install/check.c $(pkg-config --cflags --libs som)
"$work/check-pkg" "$work/pkg.map" >"$work/pkg.out" || fail "pkg-config program failed"

# The same program through find_package: in a C-only project, where only
# the package can bring the C++ runtime, and in a project of C and C++.
for languages in C "C;CXX"; do
  build="$work/cmake-build-${languages//;/-}"
  cmake -S tests/install -B "$build" -DCMAKE_PREFIX_PATH="$prefix" "-DSOM_CHECK_LANGUAGES=$languages" \
    >"$work/cmake.log" 2>&1 && cmake --build "$build" >>"$work/cmake.log" 2>&1 ||
    { cat "$work/cmake.log" >&2; fail "find_package program did not build in a $languages project"; }
  "$build/check" "$work/cmake.map" >"$work/cmake.out" || fail "find_package program ($languages) failed"
  cmp -s "$work/pkg.out" "$work/cmake.out" || fail "pkg-config and find_package ($languages) chose different winners"
done

# A user's install under ~/.local (of a fresh HOME), used from elsewhere with
# exactly the settings the README gives for it.
root=$PWD
home="$work/home"
mkdir -p "$home"
HOME="$home" cmake --install build-install --prefix "$home/.local" >/dev/null
(
  export HOME="$home"
  cd "$home"
  unset PKG_CONFIG_PATH CMAKE_PREFIX_PATH MANPATH
  export PATH="$HOME/.local/bin:$PATH"
  export PKG_CONFIG_PATH="$HOME/.local/lib/pkgconfig"
  export CMAKE_PREFIX_PATH="$HOME/.local"
  [ "$(command -v somap)" = "$HOME/.local/bin/somap" ] || fail "somap on PATH is $(command -v somap)"
  out=$(printf '1\t2\n' | somap -x 1 -y 1 2>/dev/null)
  [ "$out" = $'0\t0\t1\t2' ] || fail "somap from ~/.local printed: $out"
  if command -v man >/dev/null; then
    [ "$(man -w somap 2>/dev/null)" = "$HOME/.local/share/man/man1/somap.1" ] ||
      fail "man somap does not find the page under ~/.local"
  fi
  # shellcheck disable=SC2046
  cc -o local-pkg "$root/tests/install/check.c" $(pkg-config --cflags --libs som) ||
    fail "a C program did not build with pkg-config from ~/.local"
  ./local-pkg local-pkg.map >local-pkg.out || fail "the pkg-config program from ~/.local failed"
  cmp -s "$work/pkg.out" local-pkg.out || fail "the program built from ~/.local chose other winners"
  cmake -S "$root/tests/install" -B local-cmake >cmake.log 2>&1 && cmake --build local-cmake >>cmake.log 2>&1 ||
    { cat cmake.log >&2; fail "a C project did not find the package in ~/.local"; }
  grep -q "$HOME/.local/lib/cmake/som" local-cmake/CMakeCache.txt || fail "find_package found another som"
  local-cmake/check local-cmake.map >local-cmake.out || fail "the find_package program from ~/.local failed"
  cmp -s "$work/pkg.out" local-cmake.out || fail "the find_package program from ~/.local chose other winners"
)

# The Debian package holds the same tree under /usr.
(cd build-install && cpack -G DEB >/dev/null) || fail "cpack failed"
deb=$(ls -t build-install/somap_*.deb | head -1)
contents=$(dpkg-deb -c "$deb")
for file in usr/bin/somap usr/bin/somap-render usr/share/man/man1/somap.1 usr/include/som/som.h \
            usr/lib/libsom.a \
            usr/share/doc/somap/LICENSE \
            usr/lib/pkgconfig/som.pc usr/lib/cmake/som/somConfig.cmake; do
  grep -q " \./$file\$" <<<"$contents" || fail "$deb lacks /$file"
done
# The Python package as the README installs it: pip from the clone, offline,
# in a venv that sees Debian's NumPy and pybind11, building through CMake
# into build-pip/. Imported from elsewhere, it must be the venv's, and its
# map the installed program's, byte for byte after the 8-byte save time.
rm -rf build-pip
/usr/bin/python3 -m venv --system-site-packages "$work/venv"
"$work/venv/bin/python" -m pip install --no-build-isolation --no-index --no-cache-dir . >"$work/pip.log" 2>&1 ||
  { cat "$work/pip.log" >&2; fail "pip install failed"; }
(cd "$work" && "$work/venv/bin/python" - "$root/data/colours.tsv" "$work/python.map") <<'EOF' ||
import sys
import somap
assert somap.__file__.startswith(sys.prefix + "/"), somap.__file__
data = somap.read_tsv(sys.argv[1])
somap.train(data, width=5, height=4, iterations=20).save(sys.argv[2])
EOF
  fail "the pip-installed package failed"
"$prefix/bin/somap" -x 5 -y 4 -i 20 -s "$work/program.map" < data/colours.tsv >/dev/null 2>&1 || fail "training failed"
cmp -s <(tail -c +9 "$work/python.map") <(tail -c +9 "$work/program.map") ||
  fail "the pip-installed package trained another map than the installed somap"
echo "install check passed: $prefix layout, pkg-config, find_package (C, C and C++), ~/.local, $(basename "$deb"), pip install in a venv"
