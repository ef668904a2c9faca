"""Recognition spread by Dask over worker processes: a map shipped to two
workers gives, chunk by chunk, exactly the winners of one call over the
whole table, through dask.array and dask.dataframe alike."""

import os

import numpy as np
import pytest

import somap
from conftest import require

# Debian's distributed calls a tornado function that tornado has deprecated.
pytestmark = pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")


@pytest.fixture(scope="module")
def client(tmp_path_factory):
    """A client of a local cluster of two worker processes, one thread
    each, closed with everything it started when the tests are done. The
    workers are spawned with this process's environment and sys.path, so
    they import the package under test."""
    require("dask", "python3-dask")
    distributed = require("distributed", "python3-distributed")
    cluster = distributed.LocalCluster(
        n_workers=2,
        threads_per_worker=1,
        processes=True,
        dashboard_address=None,
        local_directory=str(tmp_path_factory.mktemp("dask")),
    )
    client = distributed.Client(cluster)
    yield client
    client.close()
    cluster.close()


@pytest.fixture(scope="module")
def table():
    """20,000 rows of 6 fields, and a map trained on some of them."""
    rng = np.random.default_rng(20261215)
    data = rng.normal(size=(20000, 6)) * np.array([1.0, 10.0, 0.1, 1.0, 5.0, 2.0])
    return data, somap.train(data[:500], width=9, height=7, iterations=30)


def test_the_workers_are_other_processes(client):
    pids = client.run(os.getpid)
    assert len(pids) == 2 and os.getpid() not in pids.values()


def test_winners_of_a_chunked_array_are_those_of_the_whole(client, table):
    da = require("dask.array", "python3-dask")
    data, trained = table
    # Uneven chunks, the last one short.
    rows = da.from_array(data, chunks=(3000, -1))
    winners = rows.map_blocks(trained.winners, dtype=np.int64, chunks=(rows.chunks[0], (2,)))
    assert winners.npartitions == 7
    computed = client.compute(winners).result()
    assert computed.dtype == np.int64
    assert np.array_equal(computed, trained.winners(data))


def test_winners_of_dataframe_partitions_are_those_of_the_whole(client, table):
    dd = require("dask.dataframe", "python3-dask python3-pandas")
    pd = require("pandas", "python3-pandas")
    data, trained = table
    frame = dd.from_pandas(pd.DataFrame(data, columns=list("abcdef")), npartitions=5)

    def winners(part):
        return pd.DataFrame(trained.winners(part.to_numpy()), columns=["i", "j"], index=part.index)

    computed = client.compute(frame.map_partitions(winners, meta={"i": "i8", "j": "i8"})).result()
    assert np.array_equal(computed.to_numpy(), trained.winners(data))
