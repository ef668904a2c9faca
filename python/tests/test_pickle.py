"""A Map travels to other processes as the bytes of its map file: pickle
(every protocol), copy and deepcopy give the very map back, its save time
included, without touching the original; damaged bytes are refused; a
process started afresh recognises with it exactly as this one does."""

import concurrent.futures
import copy
import multiprocessing
import pickle
import struct

import numpy as np
import pytest

import somap
from conftest import COLOURS, map_file_weights, same_bits

SAVED_AT = 0x0102030405060708  # every byte distinct, and not now

# What a careless copy would change: zeros of both signs, NaNs with signs
# and payloads (a signalling one too), denormals, infinities.
ODD_WEIGHTS = [
    0x0000000000000000, 0x8000000000000000, 0xFFF8000000000ABC, 0x7FF4000000000001,
    0x0000000000000001, 0x800FFFFFFFFFFFFF, 0x7FF0000000000000, 0xFFF0000000000000,
    0x7FEFFFFFFFFFFFFF, 0x3FB999999999999A, 0xC004000000000000, 0x7FF800000000BEEF,
]


def map_bytes(time_constant, n, height, width, patterns):
    header = struct.pack("<qdQQQ", SAVED_AT, time_constant, n, height, width)
    return header + struct.pack(f"<{len(patterns)}Q", *patterns)


@pytest.fixture
def odd_map(tmp_path):
    """A map loaded from hand-made bytes (3 inputs on 2 by 4 neurons, width
    and height differing) and those bytes."""
    blob = map_bytes(27.104644554585676, 3, 2, 4, ODD_WEIGHTS * 2)
    path = tmp_path / "odd.map"
    path.write_bytes(blob)
    return somap.load(path), blob


def state(m):
    """The map-file bytes a map pickles as."""
    function, (data,) = m.__reduce__()
    assert function is somap._map_from_bytes
    return data


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickling_gives_the_same_map_to_the_bit(odd_map, protocol, tmp_path):
    original, blob = odd_map
    back = pickle.loads(pickle.dumps(original, protocol=protocol))

    assert isinstance(back, somap.Map) and back._network is not original._network
    assert back.shape == original.shape == (2, 4, 3)
    assert same_bits(back.weights, map_file_weights(blob))
    assert struct.pack("<d", back.time_constant) == blob[8:16]
    # The whole map file, save time included; and pickling left the
    # original as it was.
    assert state(back) == blob
    assert state(original) == blob
    back.save(tmp_path / "back.map")
    assert (tmp_path / "back.map").read_bytes()[8:] == blob[8:]


@pytest.mark.parametrize("duplicate", [copy.copy, copy.deepcopy])
def test_copies_are_maps_of_their_own(odd_map, duplicate, tmp_path):
    original, blob = odd_map
    duplicated = duplicate(original)
    assert duplicated is not original and duplicated._network is not original._network
    assert state(duplicated) == blob
    # Saving stamps the time into the map saved, and only into that one.
    duplicated.save(tmp_path / "copy.map")
    assert state(original) == blob
    assert state(duplicated)[:8] != blob[:8] and state(duplicated)[8:] == blob[8:]


def test_a_trained_map_pickles_as_its_map_file(tmp_path):
    data = somap.read_tsv(COLOURS)
    trained = somap.train(data, width=6, height=5, iterations=20)
    back = pickle.loads(pickle.dumps(trained))
    assert np.array_equal(back.winners(data), trained.winners(data))
    trained.save(tmp_path / "trained.map")
    assert state(back)[8:] == (tmp_path / "trained.map").read_bytes()[8:]


@pytest.mark.parametrize(
    "damage",
    [
        pytest.param(lambda blob: b"", id="empty"),
        pytest.param(lambda blob: blob[:39], id="short header"),
        pytest.param(lambda blob: blob[:-1], id="last byte missing"),
        pytest.param(lambda blob: blob + b"\0", id="a byte more"),
        pytest.param(lambda blob: blob[:8] + struct.pack("<d", float("nan")) + blob[16:], id="NaN time constant"),
        pytest.param(lambda blob: blob[:16] + struct.pack("<Q", 1 << 40) + blob[24:], id="more weights declared"),
        pytest.param(lambda blob: blob[:16] + struct.pack("<QQQ", 0, 1 << 30, 1 << 30), id="a grid beyond memory"),
    ],
)
def test_damaged_bytes_are_refused(odd_map, damage):
    with pytest.raises(ValueError, match=r"cannot make a somap\.Map from \d+ bytes: "):
        somap._map_from_bytes(damage(odd_map[1]))


def test_only_bytes_make_a_map(odd_map):
    with pytest.raises(TypeError):
        somap._map_from_bytes(odd_map[1].decode("latin-1"))


def test_a_fresh_process_recognises_with_a_shipped_map():
    data = somap.read_tsv(COLOURS)
    trained = somap.train(data, width=6, height=5, iterations=20)
    # Spawned, so that nothing is inherited: the map arrives pickled.
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(1, mp_context=context) as pool:
        assert np.array_equal(pool.submit(trained.winners, data).result(), trained.winners(data))
