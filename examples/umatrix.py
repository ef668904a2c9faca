#!/usr/bin/python3
"""Trains a 12 by 12 map on the sample colours (as scripts/picture.sh does)
and draws its U-matrix into a PNG, a dot on every neuron that wins colours,
larger the more it wins.

    PYTHONPATH=build/python /usr/bin/python3 examples/umatrix.py [DATA.tsv [PICTURE.png]]

from the top of a clone after the CMake build, which leaves the package in
build/python; with the package installed in a venv instead, run the venv's
interpreter: venv/bin/python examples/umatrix.py. Either way the interpreter
must see Debian's NumPy: /usr/bin/python3, not another python3 that comes
first on PATH.

Defaults: data/colours.tsv and umatrix.png. Drawing needs matplotlib
(Debian: apt-get install python3-matplotlib); without it the script says so
and exits with status 0, drawing nothing.
"""

import pathlib
import sys

import numpy as np

import somap


def main(argv):
    here = pathlib.Path(__file__).resolve().parent
    data_path = argv[1] if len(argv) > 1 else here.parent / "data" / "colours.tsv"
    picture_path = argv[2] if len(argv) > 2 else "umatrix.png"
    try:
        import matplotlib
    except ImportError:
        print("matplotlib is not installed (Debian: apt-get install python3-matplotlib): "
              "no U-matrix drawn", file=sys.stderr)
        return 0
    matplotlib.use("Agg")  # files only, no display needed
    import matplotlib.pyplot as plt

    data = somap.read_tsv(data_path)
    trained = somap.train(data, width=12, height=12, iterations=200)
    umatrix = trained.umatrix()
    hits = np.zeros(umatrix.shape, dtype=np.int64)
    np.add.at(hits, tuple(trained.winners(data).T), 1)

    figure, axes = plt.subplots(figsize=(6.4, 5.2))
    image = axes.imshow(umatrix, cmap="viridis")
    figure.colorbar(image, ax=axes, label="mean distance to the 4 grid neighbours")
    i, j = np.nonzero(hits)
    axes.scatter(j, i, s=12 * np.sqrt(hits[i, j]), c="white", edgecolors="black", linewidths=0.5)
    axes.set_title(f"U-matrix of {pathlib.Path(data_path).name}: light ridges separate clusters")
    axes.set_xlabel("j (width)")
    axes.set_ylabel("i (height)")
    figure.savefig(picture_path, dpi=100, bbox_inches="tight")
    print(f"{picture_path}: {len(i)} neurons win the {len(data)} rows; the busiest wins {hits.max()}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
