"""What the tests share: the package under test, the programs it must agree
with, and the sample data.

CTest hands in the build's package (PYTHONPATH) and programs (SOMAP_BINARY,
SOMAP_RENDER_BINARY); run by hand, the tests take them from build/:

    PYTHONPATH=build/python /usr/bin/python3 -m pytest python/tests
"""

import importlib
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
COLOURS = ROOT / "data" / "colours.tsv"

try:
    import somap
except ImportError:
    sys.path.insert(0, str(ROOT / "build" / "python"))
    import somap

# The directory holding the package, for the Python processes tests start.
PACKAGE_PARENT = str(pathlib.Path(somap.__file__).resolve().parents[1])


def require(module, package):
    """Imports a module that a test needs beyond the package's own. Missing,
    it fails the test where the module is required (CTest's SOMAP_PYTHON=ON,
    as the test command configures it) and skips it anywhere else."""
    try:
        return importlib.import_module(module)
    except ImportError as error:
        reason = f"{module} is not installed ({error}): apt-get install {package}, or bash scripts/setup.sh"
        if os.environ.get("SOMAP_PYTHON") == "ON":
            pytest.fail(reason)
        pytest.skip(reason)


def program(variable, name):
    path = pathlib.Path(os.environ.get(variable, ROOT / "build" / name))
    if not path.is_file():
        pytest.fail(f"{path} not found: build it first (cmake --build build)")
    return path


@pytest.fixture(scope="session")
def somap_program():
    return program("SOMAP_BINARY", "somap")


@pytest.fixture(scope="session")
def render_program():
    return program("SOMAP_RENDER_BINARY", "somap-render")


def run_somap(binary, args, input_path):
    """Runs somap on a file as standard input; returns its standard output."""
    with open(input_path, "rb") as stdin:
        result = subprocess.run([str(binary), *map(str, args)], stdin=stdin, capture_output=True)
    assert result.returncode == 0, result.stderr.decode(errors="replace")
    return result.stdout


def printed_winners(output):
    """The (i, j) columns somap prints before every input line."""
    pairs = [line.split(b"\t", 2)[:2] for line in output.splitlines()]
    return np.array(pairs, dtype=np.int64).reshape(-1, 2)


def map_file_weights(blob):
    """The weights of a map file as a (height, width, n) array."""
    n, x, y = np.frombuffer(blob, dtype=np.uint64, count=3, offset=16)
    return np.frombuffer(blob, dtype=np.float64, offset=40).reshape(int(x), int(y), int(n))


def same_bits(a, b):
    """Equal shapes and equal doubles to the bit, NaNs and signed zeros
    included."""
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))


def python_env():
    """The environment for a child Python that must import this package."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (PACKAGE_PARENT, env.get("PYTHONPATH")) if p)
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    return env
