"""Sweeps on a ``dask.distributed`` cluster.

The rows are cut into contiguous chunks; each chunk is one task that runs the
local batch evaluator on a worker, and the chunks are put back in row order.
Only the client's ``scatter``, ``submit``, ``gather`` and ``nthreads`` are
used, so this module imports nothing from dask itself.
"""

from __future__ import annotations

import operator

import numpy as np

from . import _WIDTHS, _evaluate


def _chunk_rows(client, n, chunk_rows):
    if chunk_rows is not None:
        rows = operator.index(chunk_rows)
        if rows < 1:
            raise ValueError(f"chunk_rows must be at least 1, got {rows}")
        return rows
    # About four chunks per worker thread: enough to even out uneven rows
    # (iterating cores) without paying the cost of a task per few rows.
    workers = sum(client.nthreads().values()) or 1
    return max(1, -(-n // (4 * workers)))


def _evaluate_chunk(name, chunk, n, threads):
    u, p = chunk
    return _evaluate(name, u, p, n, threads)


def sweep_on_cluster(client, name, u, p, n, *, threads, chunk_rows):
    """The rows 0..n-1 of ``name`` on matrices of 1 or n rows, evaluated by ``client``."""
    if not all(callable(getattr(client, f, None)) for f in ("submit", "gather", "scatter", "nthreads")):
        raise TypeError(f"client must be a dask.distributed Client, not {type(client).__name__}")
    width = _WIDTHS[name][2]
    rows = _chunk_rows(client, n, chunk_rows)
    y = np.zeros((n, width), dtype=np.float64)
    if n == 0:
        return y
    spans = [(start, min(n, start + rows)) for start in range(0, n, rows)]
    # A shared row (broadcast) travels whole with every chunk. The chunks go
    # to the workers first, each as one piece of data, so that the tasks stay
    # small and a chunk's inputs and parameters sit on the same worker.
    chunks = [(u if len(u) == 1 else u[start:stop], p if len(p) == 1 else p[start:stop]) for start, stop in spans]
    scattered = client.scatter(chunks, hash=False)
    futures = [client.submit(_evaluate_chunk, name, chunk, stop - start, threads, pure=False)
               for chunk, (start, stop) in zip(scattered, spans)]
    for (start, stop), part in zip(spans, client.gather(futures)):
        if not isinstance(part, np.ndarray) or part.dtype != np.float64 or part.shape != (stop - start, width):
            raise RuntimeError(f"{name}: a cluster chunk came back as {type(part).__name__} "
                               f"{getattr(part, 'shape', '')}, expected ({stop - start}, {width}) float64")
        y[start:stop] = part
    return y
