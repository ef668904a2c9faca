#!/usr/bin/env bash
# Installs what a task needs, where a fresh Debian machine lacks it.
#
#   bash scripts/setup.sh build     building and running somap: a compiler, CMake
#   bash scripts/setup.sh picture   that, and rsvg-convert for PNG pictures
#   bash scripts/setup.sh           everything the test command uses as well,
#                                   the Python module's packages included
set -euo pipefail
what=${1:-test}
missing=()
lean=()
command -v cmake >/dev/null || missing+=(cmake)
command -v make >/dev/null || missing+=(make)
command -v g++ >/dev/null || missing+=(g++)
if [ "$what" = picture ]; then
  command -v rsvg-convert >/dev/null || missing+=(librsvg2-bin)
elif [ "$what" != build ]; then
  command -v pkg-config >/dev/null || missing+=(pkg-config)
  [ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
  [ -f /usr/include/benchmark/benchmark.h ] || missing+=(libbenchmark-dev)
  # The checks beyond the unit and command-line tests: libFuzzer comes with
  # clang, memcheck with valgrind, SVG rendering with rsvg-convert, the
  # split-input recognition test with GNU parallel.
  command -v clang++ >/dev/null || missing+=(clang)
  command -v valgrind >/dev/null || missing+=(valgrind)
  command -v rsvg-convert >/dev/null || missing+=(librsvg2-bin)
  command -v parallel >/dev/null || missing+=(parallel)
  # The install check builds the Debian package and lints the manual.
  command -v dpkg-shlibdeps >/dev/null || missing+=(dpkg-dev)
  command -v file >/dev/null || missing+=(file)
  command -v groff >/dev/null || missing+=(groff-base)
  # The Python module and its tests, and its pip install in a venv; only
  # Debian's own interpreter sees Debian's Python packages.
  py=/usr/bin/python3
  [ -x $py ] || missing+=(python3)
  [ -x $py ] && $py -c 'import sysconfig, os, sys; sys.exit(not os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' 2>/dev/null ||
    missing+=(python3-dev)
  for module in pybind11:python3-pybind11 numpy:python3-numpy pytest:python3-pytest venv:python3-venv \
                ensurepip:python3-venv setuptools:python3-setuptools wheel:python3-wheel pip:python3-pip; do
    $py -c "import ${module%%:*}" 2>/dev/null || missing+=("${module#*:}")
  done
  # Recognition spread over processes and hosts: Dask with its dataframes
  # (the Python tests start a local cluster), and GNU parallel over ssh (the
  # test runs its own sshd on the loopback; parallel's --basefile needs
  # rsync). Their recommendations (plotting, numba, SciPy...) are not used.
  for module in dask:python3-dask distributed:python3-distributed pandas:python3-pandas; do
    $py -c "import ${module%%:*}" 2>/dev/null || lean+=("${module#*:}")
  done
  [ -x /usr/sbin/sshd ] || lean+=(openssh-server)
  command -v ssh >/dev/null || lean+=(openssh-client)
  command -v ssh-keygen >/dev/null || lean+=(openssh-client)
  command -v rsync >/dev/null || lean+=(rsync)
fi
if [ ${#missing[@]} -gt 0 ] || [ ${#lean[@]} -gt 0 ]; then
  # apt-get needs root: as root it runs as it is, otherwise through sudo
  # (which may ask for a password); without either, say what root must run.
  as_root=()
  if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null; then
      as_root=(sudo)
    else
      {
        echo "setup: these Debian packages are missing: ${missing[*]} ${lean[*]}"
        echo "setup: installing them needs root, and sudo is not installed; as root, run:"
        echo "  apt-get update"
        [ ${#missing[@]} -eq 0 ] || echo "  apt-get install ${missing[*]}"
        [ ${#lean[@]} -eq 0 ] || echo "  apt-get install --no-install-recommends ${lean[*]}"
        echo "setup: then run this command again."
      } >&2
      exit 1
    fi
  fi
  echo "installing: ${missing[*]} ${lean[*]}${as_root[*]:+ (with sudo)}" >&2
  "${as_root[@]}" apt-get update -qq
  if [ ${#missing[@]} -gt 0 ]; then
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
  if [ ${#lean[@]} -gt 0 ]; then
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${lean[@]}" >/dev/null
  fi
fi
