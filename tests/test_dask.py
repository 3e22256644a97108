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
