"""Bad input: an exception with the programs' message, never a crash, and
never a map file left half written."""

import os
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import somap
from conftest import COLOURS, python_env


@pytest.fixture(scope="module")
def small_map():
    return somap.train(somap.read_tsv(COLOURS), width=4, height=3, iterations=5)


@pytest.mark.parametrize("text, message", [
    ("1\t2\t3\n4\t5\n", "line 2 has 2 fields, expected 3"),
    # Empty lines are skipped but counted, as somap counts them.
    ("1\t2\n\n\r\n3\n", "line 4 has 1 field, expected 2"),
    # A trailing TAB adds no field.
    ("1\t2\n3\t\n", "line 2 has 1 field, expected 2"),
])
def test_read_tsv_refuses_a_short_line_as_somap_does(text, message, tmp_path, somap_program):
    path = tmp_path / "short.tsv"
    path.write_text(text)
    with pytest.raises(ValueError) as raised:
        somap.read_tsv(path)
    assert str(raised.value) == message
    with open(path, "rb") as stdin:
        program = subprocess.run([str(somap_program), "-x", "2", "-y", "2"], stdin=stdin, capture_output=True)
    assert program.returncode == 1
    assert program.stderr.decode().strip() == message


def test_read_tsv_of_nothing_gives_no_rows_and_train_refuses_them(tmp_path):
    path = tmp_path / "blank.tsv"
    path.write_text("\n\r\n\n")
    data = somap.read_tsv(path)
    assert data.shape == (0, 0) and data.dtype == np.float64
    with pytest.raises(ValueError, match="^no input vectors to train on$"):
        somap.train(data)


@pytest.mark.parametrize("where, error", [
    ("missing.tsv", FileNotFoundError),
    (".", IsADirectoryError),
])
def test_read_tsv_of_an_unreadable_path_raises_oserror(where, error, tmp_path):
    with pytest.raises(error):
        somap.read_tsv(tmp_path / where)


@pytest.mark.parametrize("data, message", [
    ([["0.5", "1"]], "must hold numbers"),
    ([[1.0, None]], "must hold numbers"),
    ([[1 + 2j, 3]], "must hold numbers"),
    ([[1.0, 2.0], [3.0]], "2-D array of numbers"),
    ([1.0, 2.0, 3.0], "2-D array"),
    (np.zeros((2, 2, 2)), "2-D array"),
    (5.0, "2-D array"),
    (np.zeros((0, 3)), "^no input vectors to train on$"),
])
def test_train_refuses_data_that_is_not_a_table_of_numbers(data, message):
    with pytest.raises(ValueError, match=message):
        somap.train(data, width=2, height=2, iterations=1)


@pytest.mark.parametrize("arguments, error, message", [
    ({"width": -1}, ValueError, "width must be from 0"),
    ({"height": 2 ** 64}, ValueError, "height must be from 0"),
    ({"iterations": 2.5}, TypeError, "iterations must be an integer"),
    ({"progress": 5}, TypeError, "progress must be callable"),
    # Far beyond any machine's memory: refused before anything is allocated.
    ({"width": 10 ** 9, "height": 10 ** 9}, MemoryError, "som_network_new failed"),
])
def test_train_refuses_bad_settings(arguments, error, message):
    settings = {"width": 2, "height": 2, "iterations": 1, **arguments}
    with pytest.raises(error, match=message):
        somap.train([[0.5, 1.0], [2.0, 3.0]], **settings)


@pytest.mark.parametrize("call", ["winners", "quality", "quantization_error", "topographic_error"])
def test_rows_shorter_than_the_map_are_refused(small_map, call):
    with pytest.raises(ValueError, match="^line 1 has 2 fields, expected 3$"):
        getattr(small_map, call)(np.zeros((4, 2)))
    # A single short row among full ones cannot exist in an array; longer
    # rows are cut to the map's inputs, as somap cuts longer lines.
    assert np.array_equal(small_map.winners(np.ones((2, 5))), small_map.winners(np.ones((2, 3))))


def test_quality_needs_rows_and_neurons(small_map):
    with pytest.raises(ValueError, match="^no data vectors$"):
        small_map.quality(np.zeros((0, 3)))
    empty = somap.train(somap.read_tsv(COLOURS), width=0, height=3, iterations=1)
    with pytest.raises(ValueError, match="empty grid"):
        empty.quantization_error(somap.read_tsv(COLOURS))


def map_header(time_constant, n, x, y):
    return struct.pack("<qdQQQ", 0, time_constant, n, x, y)


@pytest.mark.parametrize("name, content, error, reason", [
    ("missing.map", None, FileNotFoundError, "No such file or directory"),
    ("directory", "dir", IsADirectoryError, "Is a directory"),
    ("empty.map", b"", ValueError, "not a somap map file"),
    # Header of a 2 by 2 map of 2 inputs, but one weight of its eight.
    ("cut.map", map_header(500.0, 2, 2, 2) + bytes(8), ValueError, "not a somap map file"),
    ("nan.map", map_header(float("nan"), 1, 1, 1) + bytes(8), ValueError, "not a somap map file"),
    ("huge.map", map_header(500.0, 2 ** 40, 2 ** 40, 2 ** 40), ValueError, "too large"),
    # As long as its header says (128 GiB, sparse), but beyond memory.
    ("sparse.map", "sparse", ValueError, "too large for this machine"),
])
def test_load_refuses_what_is_not_a_map(name, content, error, reason, tmp_path):
    path = tmp_path / name
    if content == "dir":
        path.mkdir()
    elif content == "sparse":
        path.write_bytes(map_header(500.0, 1, 2 ** 17, 2 ** 17))
        os.truncate(path, 40 + 8 * 2 ** 34)
    elif content is not None:
        path.write_bytes(content)
    with pytest.raises(error) as raised:
        somap.load(path)
    assert f"could not load SOM from {path}: " in str(raised.value)
    assert reason in str(raised.value)


@pytest.mark.parametrize("target, error", [
    ("no/such/dir/x.map", FileNotFoundError),
    ("a-directory", IsADirectoryError),
    ("nul\0byte.map", ValueError),
])
def test_a_failed_save_raises_and_writes_nothing(small_map, target, error, tmp_path):
    (tmp_path / "a-directory").mkdir()
    before = sorted(os.listdir(tmp_path))
    with pytest.raises(error) as raised:
        small_map.save(str(tmp_path / target))
    if error is not ValueError:
        assert str(raised.value).startswith(f"[Errno {raised.value.errno}] could not save SOM to {tmp_path / target}: ")
    assert sorted(os.listdir(tmp_path)) == before
    assert os.listdir(tmp_path / "a-directory") == []


def test_a_save_cut_short_keeps_the_old_map_whole(tmp_path):
    # Under a file-size limit smaller than the new map, the save fails (the
    # limit's signal must not kill Python), the old map is untouched and no
    # temporary file stays behind. In a child, so the limit stays there.
    old = somap.train(somap.read_tsv(COLOURS), width=2, height=2, iterations=1)
    path = tmp_path / "kept.map"
    old.save(path)
    kept = path.read_bytes()
    script = textwrap.dedent(f"""
        import resource, somap
        big = somap.train(somap.read_tsv({str(COLOURS)!r}), width=40, height=40, iterations=1)
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, resource.RLIM_INFINITY))
        try:
            big.save({str(path)!r})
        except OSError as error:
            print(error.errno, error)
        else:
            print("saved")
    """)
    child = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=python_env())
    assert child.returncode == 0, child.stderr
    errno_text, message = child.stdout.split(" ", 1)
    assert int(errno_text) == 27  # EFBIG
    assert "could not save SOM to" in message
    assert path.read_bytes() == kept
    assert os.listdir(tmp_path) == ["kept.map"]


def test_thread_cap_is_checked_and_kept():
    try:
        somap.set_max_threads(1)
        assert somap.max_threads() == 1
        # Both ends give the one range the cap really has.
        for threads in (-1, 2 ** 32):
            with pytest.raises(ValueError, match=f"threads must be from 0 to 4294967295, not {threads}$"):
                somap.set_max_threads(threads)
        assert somap.max_threads() == 1
    finally:
        somap.set_max_threads(0)
    assert somap.max_threads() >= 1
