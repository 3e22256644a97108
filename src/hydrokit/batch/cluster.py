"""Sweeps on a ``dask.distributed`` cluster.

The rows are cut into contiguous chunks; each chunk is one task that builds its
rows on the worker and runs the local batch evaluator there, and the chunks are
put back in row order. A task carries its own data, in a compact description
of its rows (below), so Dask can run it again anywhere: when a worker is lost
the scheduler moves its tasks to a survivor, and a chunk that still fails is
submitted afresh up to ``MAX_ATTEMPTS`` times before one error names its rows.

Rows travel as one of (each a tuple of plain values and NumPy arrays):

    ("rows", matrix)                     the chunk's rows, or one row shared by all
    ("columns", base, columns, values)   the base row, with `values[:, j]` in
                                         column `columns[j]` (the slots that vary)
    ("grid", base, axes, start)          the base row with, in row r of the whole
                                         grid, `values[(r // stride) % len(values)]`
                                         in column `column` for each
                                         (column, values, stride) of `axes`;
                                         the chunk starts at grid row `start`

Only the client's ``submit``, ``gather`` and ``nthreads`` (and ``status`` and
``cancel`` where it has them) are used, so this module imports nothing from
dask itself.
"""

from __future__ import annotations

import operator
import warnings
from collections.abc import Callable, Mapping
from typing import Any, Literal, Protocol, SupportsIndex, TypeAlias

import numpy as np
from numpy.typing import NDArray

from .. import _sweep
from .rows import WIDTHS, evaluate_rows

# Tries of one chunk (the first included) before the sweep gives up on it.
MAX_ATTEMPTS = 3

# The descriptions above. A grid axis is (column, values, stride).
GridAxis: TypeAlias = tuple[int, NDArray[np.float64], int]
RowSource: TypeAlias = (
    tuple[Literal["rows"], NDArray[np.float64]]
    | tuple[Literal["columns"], NDArray[np.float64], NDArray[np.intp], NDArray[np.float64]]
    | tuple[Literal["grid"], NDArray[np.float64], tuple[GridAxis, ...], int]
)


class ClusterClient(Protocol):
    """What a sweep uses of a ``dask.distributed`` client; its futures are the client's own objects."""

    def submit(self, func: Callable[..., Any], /, *args: Any, **kwargs: Any) -> Any: ...

    def gather(self, futures: list[Any], /) -> Any: ...

    def nthreads(self) -> Mapping[str, int]: ...  # worker address -> its threads


def check_client(client: ClusterClient, name: str) -> int:
    """The worker threads of a usable client; a clear error for anything else, before anything is sent."""
    if not all(callable(getattr(client, f, None)) for f in ("submit", "gather", "nthreads")):
        raise TypeError(f"client must be a dask.distributed Client, not {type(client).__name__}")
    status = getattr(client, "status", "running")
    if status != "running":
        raise RuntimeError(f"{name}: the dask client is {status}, not running; connect a new client")
    try:
        threads = client.nthreads()
    except Exception as exc:
        raise RuntimeError(f"{name}: the dask client cannot reach its scheduler "
                           f"({type(exc).__name__}: {exc})") from exc
    total = sum(threads.values()) if threads else 0
    if total <= 0:
        raise RuntimeError(f"{name}: the dask cluster has no workers to run the sweep")
    return total


def chunk_rows_for(workers: int, n: int, chunk_rows: SupportsIndex | None) -> int:
    if chunk_rows is not None:
        rows = operator.index(chunk_rows)
        if rows < 1:
            raise ValueError(f"chunk_rows must be at least 1, got {rows}")
        return rows
    # About four chunks per worker thread: enough to even out uneven rows
    # (iterating cores) without paying the cost of a task per few rows.
    return max(1, -(-n // (4 * workers)))


_chunk_rows = chunk_rows_for


def describe(matrix: NDArray[np.float64]) -> RowSource:
    """The compact description of a C-contiguous float64 matrix of 1 or n rows."""
    if len(matrix) <= 1:
        return ("rows", matrix)
    # Compared as bits: a slot holding -0.0 on one row and 0.0 on another, or
    # NaNs of different payloads, varies.
    varying = np.array(_sweep.varying_columns(matrix), dtype=np.intp)
    if len(varying) == matrix.shape[1]:
        return ("rows", matrix)
    return ("columns", matrix[:1].copy(), varying, np.ascontiguousarray(matrix[:, varying]))


def chunk(source: RowSource, start: int, stop: int) -> RowSource:
    """The description of rows start..stop-1 of a described matrix."""
    kind = source[0]
    if source[0] == "rows":
        matrix = source[1]
        return source if len(matrix) == 1 else ("rows", matrix[start:stop])
    if source[0] == "columns":
        return ("columns", source[1], source[2], source[3][start:stop])
    if source[0] == "grid":
        return ("grid", source[1], source[2], start)
    raise ValueError(f"unknown row description {kind!r}")


def build(source: RowSource, n: int) -> NDArray[np.float64]:
    """The matrix (1 or n rows) that a chunk's description stands for."""
    kind = source[0]
    if source[0] == "rows":
        return source[1]
    base = source[1]
    rows = np.empty((n, base.shape[1]), dtype=np.float64)
    rows[:] = base
    if source[0] == "columns":
        rows[:, source[2]] = source[3]
    elif source[0] == "grid":
        index = np.arange(source[3], source[3] + n, dtype=np.int64)
        for column, values, stride in source[2]:
            rows[:, column] = values[(index // stride) % len(values)]
    else:
        raise ValueError(f"unknown row description {kind!r}")
    return rows


def _evaluate_chunk(name: str, u_source: RowSource, p_source: RowSource, n: int,
                    threads: int) -> NDArray[np.float64]:
    return evaluate_rows(name, build(u_source, n), build(p_source, n), n, threads)


def _check(name: str, part: object, start: int, stop: int, width: int) -> None:
    if not isinstance(part, np.ndarray) or part.dtype != np.float64 or part.shape != (stop - start, width):
        raise RuntimeError(f"{name}: the cluster chunk of rows {start} to {stop - 1} came back as "
                           f"{type(part).__name__} {getattr(part, 'shape', '')}, expected ({stop - start}, {width}) float64")


def sweep_on_cluster(client: ClusterClient, name: str, u_source: RowSource, p_source: RowSource, n: int, *,
                     threads: int, chunk_rows: SupportsIndex | None) -> NDArray[np.float64]:
    """Rows 0..n-1 of ``name``, its inputs and parameters described as above, evaluated by ``client``."""
    workers = check_client(client, name)

    def submit(start: int, stop: int) -> Any:
        return client.submit(_evaluate_chunk, name, chunk(u_source, start, stop), chunk(p_source, start, stop),
                             stop - start, threads, pure=False)

    return run_chunks(client, name, n, WIDTHS[name][2], _chunk_rows(workers, n, chunk_rows), submit)


def run_chunks(client: ClusterClient, name: str, n: int, width: int, rows: int,
               submit: Callable[[int, int], Any]) -> NDArray[np.float64]:
    """The (n, width) result of tasks ``submit(start, stop)`` over chunks of ``rows`` rows.

    Each task carries everything its rows need, so a task whose worker is
    lost is submitted again (MAX_ATTEMPTS tries in all) and computed on
    another; then one RuntimeError names the chunk's rows. Every chunk that
    comes back is checked for its type and shape.
    """
    y = np.empty((n, width), dtype=np.float64)
    if n == 0:
        return y
    spans = [(start, min(n, start + rows)) for start in range(0, n, rows)]

    def send(start: int, stop: int) -> Any:
        with warnings.catch_warnings():
            # A chunk whose rows all differ in every slot is as large as its
            # rows; that is what it costs, and not worth a warning per chunk.
            warnings.filterwarnings("ignore", message=".*large graph.*")
            return submit(start, stop)

    # The client's futures; None once a chunk's result is in place.
    futures: list[Any | None] = [send(start, stop) for start, stop in spans]
    try:
        # Chunk by chunk in row order: each is copied into place while the
        # workers still compute the later ones.
        for i, (start, stop) in enumerate(spans):
            for attempt in range(1, MAX_ATTEMPTS + 1):
                try:
                    parts = client.gather([futures[i]])
                    break
                except Exception as exc:  # a lost worker, a lost result, a failed task
                    if attempt == MAX_ATTEMPTS:
                        raise RuntimeError(f"{name}: the cluster chunk of rows {start} to {stop - 1} failed "
                                           f"{attempt} times; last: {type(exc).__name__}: {exc}") from exc
                    futures[i] = send(start, stop)
            if not isinstance(parts, (list, tuple)) or len(parts) != 1:
                raise RuntimeError(f"{name}: the cluster returned no result for the chunk of rows {start} to {stop - 1}")
            _check(name, parts[0], start, stop, width)
            y[start:stop] = parts[0]
            futures[i] = None  # the worker may drop the result
    finally:
        left = [f for f in futures if f is not None]
        cancel = getattr(client, "cancel", None)
        if left and callable(cancel):
            try:
                cancel(left)
            except Exception:
                pass
    return y
