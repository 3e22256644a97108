"""Sweeps on a ``dask.distributed`` cluster.

The rows are cut into contiguous chunks; each chunk is one task that runs the
local batch evaluator on a worker, and the chunks are put back in row order.
Only the client's ``submit``, ``gather`` and ``nthreads`` are used, so this
module imports nothing from dask itself.
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


def sweep_on_cluster(client, name, u, p, n, *, threads, chunk_rows):
    """The rows 0..n-1 of ``name`` on matrices of 1 or n rows, evaluated by ``client``."""
    width = _WIDTHS[name][2]
    rows = _chunk_rows(client, n, chunk_rows)
    y = np.zeros((n, width), dtype=np.float64)
    if n == 0:
        return y
    starts = range(0, n, rows)
    futures = []
    for start in starts:
        stop = min(n, start + rows)
        # A shared row (broadcast) travels whole with every chunk.
        u_part = u if len(u) == 1 else u[start:stop]
        p_part = p if len(p) == 1 else p[start:stop]
        futures.append(client.submit(_evaluate, name, u_part, p_part, stop - start, threads, pure=False))
    for start, part in zip(starts, client.gather(futures)):
        stop = min(n, start + rows)
        if not isinstance(part, np.ndarray) or part.dtype != np.float64 or part.shape != (stop - start, width):
            raise RuntimeError(f"{name}: a cluster chunk came back as {type(part).__name__} "
                               f"{getattr(part, 'shape', '')}, expected ({stop - start}, {width}) float64")
        y[start:stop] = part
    return y
