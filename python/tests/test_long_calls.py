"""How the long calls behave: input used where it lies, the GIL released,
progress reported, Ctrl-C and a raising progress function honoured between
rows with nothing left behind."""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
import tracemalloc

import numpy as np
import pytest

import somap
from conftest import python_env


def traced_peak(call):
    """Peak bytes Python and NumPy allocate during call()."""
    tracemalloc.start()
    try:
        call()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


@pytest.mark.parametrize("call", ["train", "winners", "quality"])
def test_float64_c_arrays_are_not_copied(call):
    rows = np.random.default_rng(3).random((20000, 16))
    trained = somap.train(rows[:50], width=3, height=2, iterations=1)
    run = {
        "train": lambda data: somap.train(data, width=3, height=2, iterations=1),
        "winners": trained.winners,
        "quality": trained.quality,
    }[call]
    # The probe sees a copy: the same rows in Fortran order are converted.
    assert traced_peak(lambda: run(np.asfortranarray(rows))) >= rows.nbytes
    # In C order nothing near the size of the rows is allocated (winners
    # allocates its (N, 2) result, an eighth of them).
    assert traced_peak(lambda: run(rows)) < rows.nbytes / 4


def test_read_tsv_result_is_a_plain_writable_array(tmp_path):
    path = tmp_path / "t.tsv"
    path.write_text("1\t2\n3\t4\t5\n")
    data = somap.read_tsv(path)
    assert data.flags.c_contiguous and data.flags.writeable and data.dtype == np.float64
    data[0, 0] = 9.0
    assert data.tolist() == [[9.0, 2.0], [3.0, 4.0]]


def test_training_releases_the_gil():
    # A second Python thread stamps the time as fast as it can while the
    # main thread trains. Holding the GIL, training would stop it for the
    # whole call: its stamps would lie only near the call's two ends.
    rows = np.random.default_rng(4).random((150, 16))
    stamps = []
    stop = threading.Event()

    def stamp():
        while not stop.is_set():
            stamps.append(time.monotonic())

    worker = threading.Thread(target=stamp)
    worker.start()
    try:
        start = time.monotonic()
        somap.train(rows, width=100, height=100, iterations=1000)
        end = time.monotonic()
    finally:
        stop.set()
        worker.join()
    quarter = (end - start) / 4
    assert any(start + quarter < t < end - quarter for t in stamps)


def test_progress_sees_the_start_and_the_end():
    rows = np.random.default_rng(5).random((300, 4))
    calls = []
    trained = somap.train(rows, width=20, height=20, iterations=100,
                          progress=lambda done, total: calls.append((done, total)))
    assert calls[0] == (0, 300) and calls[-1] == (300, 300)
    assert all(total == 300 for _, total in calls)
    assert [done for done, _ in calls] == sorted(done for done, _ in calls)
    assert trained.shape == (20, 20, 4)


def live_threads():
    return len(os.listdir("/proc/self/task"))


class Stop(Exception):
    pass


@pytest.mark.parametrize("exception", [KeyboardInterrupt, Stop])
@pytest.mark.parametrize("when", ["start", "end"])
def test_what_progress_raises_stops_training(exception, when):
    # Raised at the first report or at the last one, after every row is
    # trained: no map is returned either way, and the library's helper
    # threads are gone.
    rows = np.random.default_rng(6).random((200, 8))
    threads = live_threads()
    calls = []

    def progress(done, total):
        calls.append(done)
        if when == "start" or done == total:
            raise exception("stop here")

    with pytest.raises(exception, match="stop here") as raised:
        somap.train(rows, width=30, height=30, iterations=50, progress=progress)
    expected = 0 if when == "start" else 200
    assert calls[-1] == expected
    if when == "start":
        assert calls == [0]
    assert f"somap.train stopped after {expected} of 200 vectors; no map was returned" in raised.value.__notes__
    assert live_threads() == threads


@pytest.mark.parametrize("with_progress", [True, False])
def test_ctrl_c_stops_training_between_rows_and_nothing_is_saved(with_progress, tmp_path):
    # A script that would train for about a minute and then save the map.
    # SIGINT, as Ctrl-C sends it, once training has begun: the script ends
    # with KeyboardInterrupt saying where training stopped, and no map file.
    # Without a progress function only the library's callback can notice it.
    path = tmp_path / "interrupted.map"
    script = textwrap.dedent(f"""
        import sys, numpy as np, somap
        rows = np.random.default_rng(7).random((6000, 16))
        def progress(done, total):
            if done == 0:
                print("training", flush=True)
        if not {with_progress}:
            print("training", flush=True)
            progress = None
        somap.train(rows, width=200, height=200, iterations=1000, progress=progress).save({str(path)!r})
        print("finished", flush=True)
    """)
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, env=python_env())
    try:
        assert child.stdout.readline() == "training\n"
        time.sleep(0.5)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=120)
    finally:
        child.kill()
        child.wait()
    # Python ends an uncaught KeyboardInterrupt by dying of SIGINT.
    assert child.returncode == -signal.SIGINT, err
    assert out == ""
    assert "KeyboardInterrupt" in err
    stopped = [line for line in err.splitlines() if line.startswith("somap.train stopped ")]
    assert len(stopped) == 1, err
    if with_progress or "placing" not in stopped[0]:
        done, total = map(int, stopped[0].split()[3:6:2])
        assert total == 6000 and done < total
    assert not path.exists()
    assert os.listdir(tmp_path) == []
