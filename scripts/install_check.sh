#!/usr/bin/env bash
# Installs somap into a temporary prefix as a user would, then proves the
# installed pieces work on their own: the program and its manual, a C
# program built with pkg-config, another built with find_package, the
# Debian package's contents, and the Python package installed with pip.
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
            include/som/som_analysis.h \
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

# The same program through find_package.
cmake -S tests/install -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/check" "$work/cmake.map" >"$work/cmake.out" || fail "find_package program failed"
cmp -s "$work/pkg.out" "$work/cmake.out" || fail "the two builds chose different winners"

# The Debian package holds the same tree under /usr.
(cd build-install && cpack -G DEB >/dev/null) || fail "cpack failed"
deb=$(ls -t build-install/somap_*.deb | head -1)
contents=$(dpkg-deb -c "$deb")
for file in usr/bin/somap usr/bin/somap-render usr/share/man/man1/somap.1 usr/include/som/som.h \
            usr/include/som/som_analysis.h usr/lib/libsom.a \
            usr/share/doc/somap/LICENSE \
            usr/lib/pkgconfig/som.pc usr/lib/cmake/som/somConfig.cmake; do
  grep -q " \./$file\$" <<<"$contents" || fail "$deb lacks /$file"
done
# The Python package as the README installs it: pip from the clone, offline,
# in a venv that sees Debian's NumPy and pybind11, building through CMake
# into build-pip/. Imported from elsewhere, it must be the venv's, and its
# map the installed program's, byte for byte after the 8-byte save time.
root=$PWD
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
echo "install check passed: $prefix layout, pkg-config, find_package, $(basename "$deb"), pip install in a venv"
