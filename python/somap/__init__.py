"""Self-organizing maps from NumPy, to the bit the maps the somap program makes.

    >>> import somap
    >>> data = somap.read_tsv("data/colours.tsv")        # (300, 3) float64
    >>> m = somap.train(data, width=12, height=12, iterations=200)
    >>> m.winners(data)[:2]                               # (i, j) per row
    >>> m.save("colours.map")                             # the file `somap -s` writes

``somap.train(data, width=W, height=H, iterations=I)`` places and trains the
map exactly as ``somap -x W -y H -i I -s FILE`` does on the same rows, with the
same library, so the saved file matches the program's byte for byte after its
first 8 bytes (the time of saving).
"""

import operator
import os
import sys

import numpy as np

from . import _core

__version__ = _core.version()
__all__ = ["Map", "read_tsv", "train", "load", "max_threads", "set_max_threads"]


def read_tsv(path):
    """Reads a TAB-separated table exactly as ``somap`` reads its input.

    Returns a 2-D float64 array with one row per line that has a field (empty
    lines are skipped) and n columns, n being the first such line's field
    count. Fields are parsed as somap parses them (a field that is not a
    number counts as 0); longer lines are cut to n fields; a shorter line
    raises ValueError("line N has M fields, expected n"). An empty file gives
    an array of shape (0, 0).
    """
    path = os.fspath(path)
    with open(path, "rb", buffering=0) as stream:
        return _core.read_table(stream.fileno(), os.fsdecode(path))


def train(data, width=100, height=100, iterations=1000, progress=None):
    """Trains a map of height rows by width columns on the rows of ``data``.

    The same as ``somap -x width -y height -i iterations -s FILE``: the map
    has one input per column of ``data``; its weights are placed from the
    rows, then trained on every row in turn for up to ``iterations``
    iterations. ``data`` is a 2-D array-like of numbers; a C-contiguous
    float64 array is used where it lies, without a copy.

    ``progress``, when given, is called as progress(done, total) with the
    number of rows trained so far: at the start (0, total), at most about 20
    times a second while training, and at the end (total, total). Whatever it
    raises stops the training and is raised from train(); so does Ctrl-C
    (KeyboardInterrupt), noticed between two rows. The GIL is released while
    the library works.
    """
    rows = _rows(data)
    width = _count(width, "width")
    height = _count(height, "height")
    iterations = _count(iterations, "iterations")
    if progress is not None and not callable(progress):
        raise TypeError(f"progress must be callable or None, not {type(progress).__name__}")
    return Map(_core.train(rows, width, height, iterations, progress))


def load(path):
    """Reads a map file that ``somap -s`` or Map.save wrote.

    Raises OSError (FileNotFoundError, IsADirectoryError...) when the file
    cannot be read, ValueError when it is not a map file (cut short, a bad
    time constant, sizes it cannot hold) and MemoryError when the map does
    not fit in memory.
    """
    return Map(_core.load(os.fsencode(path)))


def max_threads():
    """The most threads one call of the library may use (at least 1)."""
    return _core.max_threads()


def set_max_threads(threads):
    """Caps the threads one call may use, for the whole process; 0 restores
    the default (one per hardware thread). Results never depend on it."""
    _core.set_max_threads(_count(threads, "threads", most=0xFFFFFFFF))


class Map:
    """A trained or loaded self-organizing map.

    Neuron (i, j) is the one somap prints as ``i<TAB>j``: i in 0..height-1,
    j in 0..width-1. A Map does not change once made; its methods may be
    called from several threads at once. It pickles (and copies) as its map
    file's bytes, so it can be sent to other processes and machines.
    """

    __slots__ = ("_network",)

    def __init__(self, network):
        if not isinstance(network, _core.Network):
            raise TypeError("maps come from somap.train and somap.load")
        self._network = network

    @property
    def shape(self):
        """(height, width, n): the grid and the number of inputs."""
        return self._network.shape

    @property
    def weights(self):
        """A new (height, width, n) float64 array of the neurons' weights."""
        return self._network.weights()

    @property
    def time_constant(self):
        """The learning-rate time constant stored in the map file."""
        return self._network.time_constant

    def winners(self, data):
        """The winning neuron (i, j) of every row: an (N, 2) int64 array, as
        ``somap -a`` prints them. Rows need at least n fields; further ones
        are ignored."""
        return self._network.winners(_rows(data))

    def quality(self, data):
        """All the figures of ``somap-render --stats`` in one pass: a dict of
        vectors, quantization_error, topographic_error and
        topographic_errors."""
        vectors, qe, te, te_count = self._network.quality(_rows(data))
        return {
            "vectors": vectors,
            "quantization_error": qe,
            "topographic_error": te,
            "topographic_errors": te_count,
        }

    def quantization_error(self, data):
        """Mean Euclidean distance from each row to its winner's weights."""
        return self._network.quality(_rows(data))[1]

    def topographic_error(self, data):
        """Fraction of rows whose best and second-best neurons are not grid
        neighbours (|di| + |dj| = 1)."""
        return self._network.quality(_rows(data))[2]

    def umatrix(self):
        """(height, width) float64: each neuron's mean Euclidean distance to
        its up, down, left and right neighbours, as somap-render draws it."""
        return self._network.umatrix()

    def save(self, path):
        """Writes the map file ``somap -a`` reads. An existing file is replaced
        only once the new map is complete; a failed save leaves no partial
        file and raises OSError."""
        self._network.save(os.fsencode(path))

    def __reduce__(self):
        # A map travels (pickle, copy, multiprocessing, Dask, joblib) as the
        # bytes of its map file, save time included: the copy is the same map
        # to the last bit, and any process with this package reads it.
        return (_map_from_bytes, (self._network.map_bytes(),))

    def __repr__(self):
        height, width, n = self.shape
        return f"<somap.Map {height} by {width} neurons, {n} inputs>"


def _map_from_bytes(data):
    """The Map that a pickle's map-file bytes describe (Map.__reduce__)."""
    return Map(_core.from_map_bytes(data))


def _count(value, name, most=sys.maxsize):
    try:
        value = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if value < 0 or value > most:
        raise ValueError(f"{name} must be from 0 to {most}, not {value}")
    return value


def _rows(data):
    """``data`` as a C-contiguous float64 (rows, fields) array: the array
    itself when it already is one."""
    try:
        array = np.asarray(data)
    except ValueError as error:  # ragged nested sequences
        raise ValueError(f"data must be a 2-D array of numbers: {error}") from None
    if array.dtype.kind not in "biuf":
        raise ValueError(f"data must hold numbers, not {array.dtype} values")
    if array.ndim != 2:
        raise ValueError(f"data must be a 2-D array (rows by fields), not {array.ndim}-D")
    return np.ascontiguousarray(array, dtype=np.float64)
