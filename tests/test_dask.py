"""hydrokit.sweep on a dask.distributed cluster equals the local sweep."""

import numpy as np
import pytest

import hydrokit
from conftest import load, same_bits
from test_sweep import hostile_rows

distributed = pytest.importorskip("distributed")


@pytest.fixture(scope="module")
def client():
    # Two worker processes on this machine, so chunks really travel (pickled)
    # to other interpreters and back.
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as c:
        yield c


@pytest.mark.parametrize("chunk_rows", [None, 7])
def test_cluster_equals_local(client, model, chunk_rows):
    u, p = hostile_rows(model, 60, seed=2)
    expected = hydrokit.sweep(model, u, p)
    assert same_bits(hydrokit.sweep(model, u, p, client=client, chunk_rows=chunk_rows), expected)


@pytest.mark.parametrize("chunk_rows", [1, 59, 60, 1000])
def test_chunk_edges(client, chunk_rows):
    m = load("pump")
    u, p = hostile_rows(m, 60, seed=9)
    assert same_bits(hydrokit.sweep(m, u, p, client=client, chunk_rows=chunk_rows), hydrokit.sweep(m, u, p))


def test_broadcast_rows_and_empty(client):
    m = load("osmomech")
    u, p = hostile_rows(m, 25, seed=4)
    for inputs, params in [(u, None), (None, p), (u[:1], p), (None, None), (u[:0], None)]:
        expected = hydrokit.sweep(m, inputs, params)
        got = hydrokit.sweep(m, inputs, params, client=client, chunk_rows=4, threads=2)
        assert got.shape == expected.shape and same_bits(got, expected)


def test_errors_before_any_task(client):
    with pytest.raises(ValueError, match="pump: inputs must have shape"):
        hydrokit.sweep("pump", np.zeros((3, 5)), None, client=client)
    with pytest.raises(ValueError, match="chunk_rows must be at least 1"):
        hydrokit.sweep("pump", np.zeros((3, 7)), None, client=client, chunk_rows=0)
    with pytest.raises(TypeError, match="only with a client"):
        hydrokit.sweep("pump", None, None, chunk_rows=5)


def test_not_a_client():
    with pytest.raises(TypeError, match="client must be a dask.distributed Client"):
        hydrokit.sweep("pump", None, None, client="tcp://somewhere")


class LocalClient:
    """Runs each task at once, here; `gather` may be told to lose results or fail."""

    def __init__(self, lose=0, fail=False):
        self.lose, self.fail, self.submitted = lose, fail, 0

    def nthreads(self):
        return {"here": 1}

    def submit(self, fn, *args, pure=True):
        self.submitted += 1
        return fn(*args)

    def gather(self, futures):
        if self.fail:
            raise ConnectionError("worker gone")
        return list(futures)[:len(futures) - self.lose]


def test_short_gather_and_failing_chunks_raise():
    u = np.tile(load("pump").default_input(), (10, 1))
    with pytest.raises(RuntimeError, match="returned no result for the chunk of rows 0 to 3"):
        hydrokit.sweep("pump", u, None, client=LocalClient(lose=1), chunk_rows=4)
    failing = LocalClient(fail=True)
    with pytest.raises(RuntimeError, match="chunk of rows 0 to 3 failed 3 times; last: ConnectionError"):
        hydrokit.sweep("pump", u, None, client=failing, chunk_rows=4)
    assert failing.submitted == 3 + 2  # three chunks, then two more tries of the first


def test_closed_client_and_cluster_without_workers(client):
    closed = distributed.Client(client.cluster)
    closed.close()
    with pytest.raises(RuntimeError, match="pump: the dask client is closed"):
        hydrokit.sweep("pump", None, None, client=closed)
    with distributed.LocalCluster(n_workers=0, processes=False, dashboard_address=None) as empty, \
            distributed.Client(empty) as idle:
        with pytest.raises(RuntimeError, match="no workers"):
            hydrokit.sweep("pump", None, None, client=idle)


def test_grid_on_the_cluster_equals_the_local_grid(client):
    axes = dict(feed_flow=[0.001, -0.0, np.nan], head_mode=[0, 1], component_count=[0, 2, 9])
    local, remote = hydrokit.grid("pump", **axes), hydrokit.grid("pump", client=client, chunk_rows=5, **axes)
    assert list(local) == list(remote)
    assert all(same_bits(local[c], remote[c]) for c in local)


def test_a_killed_worker_costs_nothing_but_time():
    import os
    import signal
    import threading
    import time

    m = load("osmolumped")
    u, p = hostile_rows(m, 40, seed=5)
    p[:, 8], p[:, 9] = 1e6, 0.0  # every row runs a million passes: some 30 ms
    expected = hydrokit.sweep(m, u, p)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as c:
        victim = next(iter(c.run(os.getpid).values()))
        timer = threading.Timer(0.3, os.kill, (victim, signal.SIGKILL))
        timer.start()
        start = time.perf_counter()
        got = hydrokit.sweep(m, u, p, client=c, chunk_rows=2)
        timer.join()
        assert time.perf_counter() - start > 0.3, "the sweep ended before the worker was killed"
    assert same_bits(got, expected)
