"""The Python half of bench/engines.sh: one Map.winners call over the whole
table, then Dask with a local cluster of two worker processes computing the
same winners over blocks of rows. Every result is checked against the single
call's before its time counts.

    engines_python.py DATA.tsv MAP REPEAT CHUNK_ROWS WORK_DIR

Prints one line per engine: "name median min max" (seconds), or
"name missing why" when the engine is not installed.
"""

import statistics
import sys
import time

import numpy as np

import somap


def timed(name, run, expected, repeat):
    walls = []
    for _ in range(repeat):
        start = time.perf_counter()
        got = run()
        walls.append(time.perf_counter() - start)
        if not np.array_equal(got, expected):
            sys.exit(f"MISMATCH: {name}'s winners differ from one Map.winners call")
    print(name, statistics.median(walls), min(walls), max(walls), flush=True)


def main(data_path, map_path, repeat, chunk, work):
    data = somap.read_tsv(data_path)
    trained = somap.load(map_path)
    whole = trained.winners(data)
    timed("python", lambda: trained.winners(data), whole, repeat)
    try:
        import dask.array as da
        from distributed import Client, LocalCluster
    except ImportError as error:
        print("dask missing", f"Dask is not installed ({error})", flush=True)
        return
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                      local_directory=work) as cluster, Client(cluster) as client:
        runs = iter(range(repeat + 1))

        def spread():
            # Names of their own for every run: a cluster still holding an
            # earlier run's blocks or winners would hand those back instead.
            run = next(runs)
            rows = da.from_array(data, chunks=(chunk, -1), name=f"rows-{run}")
            winners = rows.map_blocks(trained.winners, dtype=np.int64, chunks=(rows.chunks[0], (2,)),
                                      name=f"winners-{run}")
            return client.compute(winners).result()

        # The workers' first import of the package is not timed.
        spread()
        timed("dask", spread, whole, repeat)


if __name__ == "__main__":  # the workers start as new processes, which import this file
    main(sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[5])
