"""The process's floating-point environment changes no result of the package
and comes back as it was. Another extension module (or a library linked
with -ffast-math) may leave the process rounding upwards or flushing
subnormals to zero; here the C library sets those modes, and every call
must give what it gives in the default environment, to the bit, with the
progress function running in the caller's environment."""

import contextlib
import ctypes
import ctypes.util
import platform
import struct

import numpy as np
import pytest

import somap
from conftest import same_bits

pytestmark = pytest.mark.skipif(
    platform.machine() != "x86_64" or platform.libc_ver()[0] != "glibc",
    reason="the environment is set through glibc's x86-64 fenv_t")

libm = ctypes.CDLL(ctypes.util.find_library("m"))

# glibc's rounding-mode values on x86.
ROUNDING = {"nearest": 0x000, "downward": 0x400, "upward": 0x800, "towardzero": 0xc00}
FLUSH_TO_ZERO, DENORMALS_ARE_ZERO = 0x8000, 0x40


class Environment(ctypes.Structure):
    """glibc's fenv_t on x86-64: the x87 environment, then MXCSR."""
    _fields_ = [("x87", ctypes.c_ushort * 14), ("mxcsr", ctypes.c_uint)]


def state():
    """What a caller sees of its environment: the x87 control word and
    flags, and MXCSR whole."""
    env = Environment()
    libm.fegetenv(ctypes.byref(env))
    return env.x87[0], env.x87[2] & 0x3f, env.mxcsr


@contextlib.contextmanager
def environment(rounding, mxcsr_bits):
    saved = Environment()
    libm.fegetenv(ctypes.byref(saved))
    try:
        libm.fesetround(ROUNDING[rounding])
        env = Environment()
        libm.fegetenv(ctypes.byref(env))
        env.mxcsr |= mxcsr_bits
        libm.fesetenv(ctypes.byref(env))
        yield
    finally:
        libm.fesetenv(ctypes.byref(saved))


ENVIRONMENTS = [("upward", 0), ("downward", 0), ("towardzero", 0), ("nearest", FLUSH_TO_ZERO),
                ("nearest", DENORMALS_ARE_ZERO), ("towardzero", FLUSH_TO_ZERO | DENORMALS_ARE_ZERO)]


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    """Data made in the default environment: a table to read, rows of
    ordinary values and rows near 2^-530 (their squared differences are
    subnormal) to train on, and a saved 128 x 128 map of one input, weight
    p 2^-540 for neuron p, big enough for the filtered search."""
    folder = tmp_path_factory.mktemp("environment")
    table = folder / "table.tsv"
    table.write_text("0.1\t0.7\t2.675\n1e-5\t3.14159\t0.3\n123.456\t-0.001\t9.99\n")
    rng = np.random.default_rng(2027)
    ordinary = rng.random((40, 3))
    tiny = rng.random((12, 3)) * 2.0**-530
    weights = np.arange(128 * 128, dtype=np.float64) * 2.0**-540
    map_path = folder / "map"
    map_path.write_bytes(struct.pack("<qdQQQ", 0, 27.104644554585676, 1, 128, 128) + weights.tobytes())
    rows = np.array([[5000.3], [12.6], [16000.9], [0.4]]) * 2.0**-540
    return table, ordinary, tiny, map_path, rows


def every_call(inputs, reports):
    table, ordinary, tiny, map_path, rows = inputs

    def progress(done, total):
        reports.append(state())

    loaded = somap.load(map_path)
    return {
        "read_tsv": somap.read_tsv(table),
        "train": somap.train(ordinary, width=6, height=5, iterations=40, progress=progress).weights,
        "train tiny": somap.train(tiny, width=7, height=4, iterations=60).weights,
        "winners": loaded.winners(rows),
        "quality": np.array([loaded.quantization_error(rows), loaded.topographic_error(rows)]),
        "umatrix": loaded.umatrix(),
    }


@pytest.mark.parametrize("rounding,mxcsr_bits", ENVIRONMENTS)
def test_results_and_environment_are_the_defaults(inputs, rounding, mxcsr_bits):
    expected = every_call(inputs, [])
    reports = []
    with environment(rounding, mxcsr_bits):
        before = state()
        got = every_call(inputs, reports)
        after = state()
    assert after == before
    assert reports and all(seen == before for seen in reports), "the progress function ran in another environment"
    for name, value in expected.items():
        if value.dtype == np.float64:
            assert same_bits(got[name], value), name
        else:
            assert np.array_equal(got[name], value), name
