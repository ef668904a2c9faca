"""The package against the programs: the same rows give the same map file
(after its 8-byte save time), the same winners and the same weights; each
reads the other's maps; the quality figures and the U-matrix are the ones
somap-render prints and draws."""

import re
import subprocess

import numpy as np
import pytest

import somap
from conftest import COLOURS, map_file_weights, printed_winners, run_somap, same_bits


def random_table(path):
    """A fixed-seed table with what real data has: mixed magnitudes,
    negative values, whole numbers, repeated rows, a negative zero, numbers
    that need the reader's slow path (exponents, 17 digits)."""
    rng = np.random.default_rng(20261214)
    table = rng.normal(size=(150, 5)) * np.array([1.0, 1000.0, 1e-3, 1.0, 50.0])
    table[:, 3] = np.round(table[:, 3] * 10)
    table[::7] = table[3]
    table[10, 2] = -0.0
    table[11, 0] = 1.0000000000000002
    with open(path, "w") as out:
        for row in table:
            out.write("\t".join(repr(float(v)) for v in row) + "\n")
    return table


# What somap's reader copes with: CRLF endings, empty lines and lines of a
# lone carriage return (skipped, but counted), longer lines (cut to the
# first line's three fields), a field that is not a number (0), spaces
# around numbers, no newline at the end.
RAGGED = (
    "0.5\t0.25\t1\r\n"
    "\n"
    "1e3\t-2\t3.5\textra\t9\n"
    "abc\t0.125\t7\n"
    "\r\n"
    " 4\t5 \t6\n"
    "-1.5\t2.5\t-3.5\n"
    "0.5\t0.25\t1\n"
    "7\t8\t9"
)


@pytest.fixture(params=["colours", "random", "ragged", "empty grid"])
def case(request, tmp_path):
    """(TSV file, the rows as an array or None, width, height, iterations)."""
    if request.param == "colours":
        return COLOURS, None, 12, 12, 200
    if request.param == "random":
        path = tmp_path / "random.tsv"
        # Width and height differ, so that a swap of the two shows.
        return path, random_table(path), 7, 4, 60
    if request.param == "ragged":
        path = tmp_path / "ragged.tsv"
        path.write_bytes(RAGGED.encode())
        return path, None, 3, 2, 25
    return COLOURS, None, 0, 3, 5


def test_training_gives_the_programs_map(case, tmp_path, somap_program):
    tsv, table, width, height, iterations = case
    program_map = tmp_path / "program.map"
    printed = run_somap(somap_program, ["-x", width, "-y", height, "-i", iterations, "-s", program_map], tsv)
    program_bytes = program_map.read_bytes()

    data = somap.read_tsv(tsv)
    if table is not None:
        # The reader gives back every double the table was written from.
        assert same_bits(data, table)
        data = table
    trained = somap.train(data, width=width, height=height, iterations=iterations)
    python_map = tmp_path / "python.map"
    trained.save(python_map)

    assert python_map.read_bytes()[8:] == program_bytes[8:]
    assert trained.shape == (height, width, data.shape[1])
    assert same_bits(trained.weights, map_file_weights(program_bytes))
    winners = trained.winners(data)
    assert winners.dtype == np.int64
    assert np.array_equal(winners, printed_winners(printed))

    # Each reads the other's map: the program applies Python's and prints
    # what it printed after training; Python loads the program's.
    assert run_somap(somap_program, ["-a", python_map], tsv) == printed
    loaded = somap.load(program_map)
    assert loaded.shape == trained.shape
    assert loaded.time_constant == trained.time_constant
    assert same_bits(loaded.weights, trained.weights)
    assert np.array_equal(loaded.winners(data), winners)


def render_stats(render_program, tsv, map_path):
    result = subprocess.run([str(render_program), "--stats", str(tsv), str(map_path)],
                            capture_output=True, check=True, text=True)
    return dict(line.split("\t") for line in result.stdout.splitlines())


def drawn_u_matrix(render_program, map_path, shape):
    svg = subprocess.run([str(render_program), str(map_path)], capture_output=True, check=True, text=True).stdout
    panel = svg[svg.index('id="u-matrix"'):svg.index('id="component-1"')]
    drawn = np.full(shape, np.nan)
    for i, j, value in re.findall(r'data-i="(\d+)" data-j="(\d+)" data-v="([^"]+)"', panel):
        drawn[int(i), int(j)] = float(value)
    return drawn


@pytest.mark.parametrize("name, width, height", [("colours", 12, 12), ("random", 7, 4)])
def test_quality_and_u_matrix_are_somap_renders(name, width, height, tmp_path, somap_program, render_program):
    tsv = COLOURS if name == "colours" else tmp_path / "random.tsv"
    if name == "random":
        random_table(tsv)
    map_path = tmp_path / "program.map"
    run_somap(somap_program, ["-x", width, "-y", height, "-i", 30, "-s", map_path], tsv)
    loaded = somap.load(map_path)
    data = somap.read_tsv(tsv)

    stats = render_stats(render_program, tsv, map_path)
    quality = loaded.quality(data)
    # somap-render prints the shortest text that reads back as the same
    # double, so equality here is equality to the bit.
    assert quality == {
        "vectors": int(stats["vectors"]),
        "quantization_error": float(stats["quantization_error"]),
        "topographic_error": float(stats["topographic_error"]),
        "topographic_errors": int(stats["topographic_errors"]),
    }
    assert loaded.quantization_error(data) == quality["quantization_error"]
    assert loaded.topographic_error(data) == quality["topographic_error"]
    # Not a degenerate map: the figures compared are not all zeros.
    assert quality["quantization_error"] > 0 and quality["topographic_errors"] > 0

    umatrix = loaded.umatrix()
    assert umatrix.shape == (height, width)
    assert same_bits(umatrix, drawn_u_matrix(render_program, map_path, (height, width)))
