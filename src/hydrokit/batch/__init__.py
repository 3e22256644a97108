"""One model over many operating points: ``sweep`` and ``grid``.

``sweep(model, inputs, params)`` evaluates row ``i`` of ``inputs`` and of
``params`` exactly as ``model.run(inputs[i], params[i])`` would (the same
compiled core, the same zero-filled output), but for all rows in one call,
in C++, with the interpreter lock released and the rows spread over threads.

>>> import numpy as np, hydrokit
>>> u = np.tile(hydrokit.load("pump").default_input(), (3, 1))
>>> u[:, 0] = [0.001, 0.002, 0.003]
>>> hydrokit.sweep("pump", u, None).shape
(3, 13)
"""

from __future__ import annotations

import contextlib
import importlib
import itertools
import operator
import os

from collections.abc import Callable, Iterable, Iterator, Mapping
from types import ModuleType
from typing import TYPE_CHECKING, Any, SupportsIndex

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .. import _sweep
from ..layout import Layout, layout
from .rows import WIDTHS, evaluate_rows

if TYPE_CHECKING:
    from .cluster import ClusterClient, RowSource

__all__ = ["sweep", "grid", "model_name", "default_threads", "warm_pool"]

# {name: (input_width, param_width, output_width)} as compiled in.
_WIDTHS = WIDTHS


# The most worker threads a sweep starts.
MAX_THREADS = 1024


def default_threads() -> int:
    """The cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0)) or 1
    except AttributeError:  # platforms without CPU affinity
        return os.cpu_count() or 1


def model_name(model: ModuleType | str) -> str:
    """The bare name of a model given as its module or its name."""
    if isinstance(model, str):
        name = model
    else:
        qualified = getattr(model, "__name__", None)
        if not isinstance(qualified, str) or not qualified.startswith("hydrokit."):
            raise TypeError(f"model must be a hydrokit model module or its name, not {type(model).__name__}")
        name = qualified.rpartition(".")[2]
    if name not in _WIDTHS:
        raise ValueError(f"unknown model {name!r}; choose from {', '.join(sorted(_WIDTHS))}")
    return name


def _rows(name: str, value: ArrayLike | None, width: int, what: str,
          default: str) -> tuple[NDArray[np.float64], int | None]:
    """``value`` as a C-contiguous float64 matrix and its row count (None for one shared vector)."""
    if value is None:
        value = getattr(importlib.import_module(f"hydrokit.{name}"), default)()
    arr = np.ascontiguousarray(value, dtype=np.float64)
    if arr.ndim == 1 and arr.shape[0] == width:
        return arr.reshape(1, width), None
    if arr.ndim == 2 and arr.shape[1] == width:
        return arr, arr.shape[0]
    raise ValueError(f"{name}: {what} must have shape (N, {width}) or ({width},), got {arr.shape}")


def _prepare(model: ModuleType | str, inputs: ArrayLike | None,
             params: ArrayLike | None) -> tuple[str, NDArray[np.float64], NDArray[np.float64], int]:
    """Model name, input and parameter matrices (1 or N rows each) and N."""
    name = model_name(model)
    in_width, param_width, _ = _WIDTHS[name]
    u, nu = _rows(name, inputs, in_width, "inputs", "default_input")
    p, np_ = _rows(name, params, param_width, "params", "default_params")
    counts = {n for n in (nu, np_) if n is not None and n != 1}
    if len(counts) > 1:
        raise ValueError(f"{name}: inputs have {nu} rows but params have {np_} rows")
    n = counts.pop() if counts else max(nu or 1, np_ or 1)
    return name, u, p, n


@contextlib.contextmanager
def warm_pool() -> Iterator[None]:
    """Keep one pool thread looking for work between batches while the block runs.

    For callers that run many small batches on two or more threads with a
    little Python between them (an optimiser's steps): a batch's helper
    then joins it at once instead of waiting for a parked thread to wake.
    The looking thread takes a core only on machines with more than one.
    """
    _sweep.warm(1)
    try:
        yield
    finally:
        _sweep.warm(-1)


# Starting a thread costs about as much as a thousand rows of the cheapest
# cores, so by default small batches use fewer threads than there are cores.
ROWS_PER_DEFAULT_THREAD = 1024


def thread_count(threads: SupportsIndex | None, n: int) -> int:
    if threads is None:
        return max(1, min(default_threads(), -(-n // ROWS_PER_DEFAULT_THREAD)))
    count = operator.index(threads)
    if count < 1:
        raise ValueError(f"threads must be at least 1, got {count}")
    # More threads than any machine has cores change nothing (rows are bitwise the same on any
    # count) but a count beyond a C long would not even reach the executor.
    return min(count, MAX_THREADS)


_threads = thread_count


# The rows of one batch, under the name the engine's callers have always used.
_evaluate = evaluate_rows


def sweep(model: ModuleType | str, inputs: ArrayLike | None, params: ArrayLike | None, *,
          threads: int | None = None, client: Any = None, chunk_rows: int | None = None) -> NDArray[np.float64]:
    """Evaluate ``model`` on every row of ``inputs`` and ``params``.

    Row ``i`` of the result is bitwise equal to
    ``model.run(inputs[i], params[i])``: the same compiled core, run in C++
    with the interpreter lock released and the rows spread over threads.

    Parameters
    ----------
    model : module or str
        A model module (``hydrokit.osmomech``) or its name (``"osmomech"``).
    inputs : array_like or None
        An (N, INPUT_WIDTH) matrix, or one input vector (or a one-row
        matrix) shared by every row; None: the default input. Units are
        those of the model's slots (``hydrokit.layout.layout(model).units()``).
    params : array_like or None
        Likewise with PARAM_WIDTH.
    threads : int, optional
        Worker threads (default: the cores this process may use, at most
        one per 1024 rows; never more than N).
    client : dask.distributed.Client, optional
        Evaluate chunks of ``chunk_rows`` rows on the cluster (default:
        about four chunks per worker thread), each on ``threads`` threads
        (default 1, since the cluster runs chunks side by side). Each chunk
        carries the slots that vary over its rows (and one copy of those that
        do not), so a lost worker's chunks are computed again elsewhere.
    chunk_rows : int, optional
        Rows per chunk; only with ``client``.

    Returns
    -------
    numpy.ndarray
        A new (N, OUTPUT_WIDTH) float64 array. Anything ``run`` accepts is
        converted the same way (``np.ascontiguousarray(x, dtype=np.float64)``).

    Raises
    ------
    ValueError
        For an unknown model name, a matrix of the wrong shape, row counts
        that differ between ``inputs`` and ``params``, or ``threads`` < 1.
    TypeError
        For a ``model`` that is neither a model module nor a name, or
        ``chunk_rows`` without a ``client``.
    RuntimeError
        With ``client``: for a closed client or a cluster without workers
        (before anything is sent), or a chunk that failed MAX_ATTEMPTS times
        (naming its rows).
    KeyboardInterrupt
        When Ctrl-C stops a long sweep.

    Examples
    --------
    >>> import numpy as np, hydrokit
    >>> u = np.tile(hydrokit.load("pump").default_input(), (3, 1))
    >>> u[:, 0] = [0.001, 0.002, 0.003]               # feed_flow, m³/s
    >>> y = hydrokit.sweep("pump", u, None)
    >>> [round(float(v), 3) for v in y[:, 7]]         # pump_power_kw, kW
    [1.404, 2.807, 4.211]
    """
    name, u, p, n = _prepare(model, inputs, params)
    if client is not None:
        from .cluster import describe, sweep_on_cluster

        return sweep_on_cluster(client, name, describe(u), describe(p), n, threads=_cluster_threads(threads, n),
                                chunk_rows=chunk_rows)
    if chunk_rows is not None:
        raise TypeError("chunk_rows applies only with a client")
    return _evaluate(name, u, p, n, _threads(threads, n))


def _cluster_threads(threads: SupportsIndex | None, n: int) -> int:
    return 1 if threads is None else _threads(threads, n)


def grid_axis(key: str, value: ArrayLike, what: str = "grid",
              error: Callable[[str], Exception] = ValueError) -> NDArray[np.float64]:
    """One axis of a Cartesian product as a 1-D float64 array; ``error(...)`` for any other shape."""
    values = np.asarray(value, dtype=np.float64)
    if values.ndim == 0:
        return values.reshape(1)
    if values.ndim == 1:
        return values
    raise error(f"{what} axis {key!r} must be a number or a 1-D sequence, got shape {values.shape}")


_axis = grid_axis


def grid_arrays(model: ModuleType | str, axes: Mapping[str, ArrayLike], *, client: ClusterClient | None = None,
                chunk_rows: int | None = None, threads: int | None = None,
                ) -> tuple[dict[str, NDArray[np.float64]], dict[str, NDArray[np.float64]], dict[str, str]]:
    """The Cartesian product of named axes, evaluated.

    Returns ``(columns, outputs, units)``: the axis columns by the names given
    (the first axis varies slowest), the output columns by output name, and
    the unit of every output. Outputs whose position depends on the
    parameters (the carried components of the pressure equipment) are taken
    row by row from the layout for that row's parameters, NaN where absent.
    With a ``client`` (as for ``sweep``) only the axes travel: each chunk's
    rows are built on its worker.
    """
    name = model_name(model)
    lay = layout(name)
    module = lay.module
    u0, p0 = module.default_input(), module.default_params()

    slots: list[tuple[str, int]] = []
    values: list[NDArray[np.float64]] = []
    for key, value in axes.items():
        slot = lay.resolve(key)
        for other_key, other_slot in zip(axes, slots):
            if other_slot == slot:
                raise ValueError(f"{name}: grid axes {other_key!r} and {key!r} name the same slot")
        slots.append(slot)
        values.append(_axis(key, value))

    mesh = np.meshgrid(*values, indexing="ij") if values else []
    columns = {key: np.ascontiguousarray(m.reshape(-1)) for key, m in zip(axes, mesh)}
    n = int(np.prod([len(v) for v in values], dtype=np.int64)) if values else 1
    # Row r holds value (r // stride) % len of each axis: the last varies fastest.
    strides = [int(np.prod([len(v) for v in values[k + 1:]], dtype=np.int64)) for k in range(len(values))]

    def source(vector_name: str, base: NDArray[np.float64]) -> tuple[RowSource, list[int]]:
        """The rows of one vector as ("rows", shared row) or ("grid", base, axes, 0), and its swept slots."""
        picked = [(index, axis, stride)
                  for (vector, index), axis, stride in zip(slots, values, strides) if vector == vector_name]
        if n == 0:
            return ("rows", np.empty((0, len(base)))), [index for index, _, _ in picked]
        if all(len(axis) == 1 for _, axis, _ in picked):
            # Every row alike: one shared vector holding the fixed values.
            for index, axis, _ in picked:
                base[index] = axis[0]
            return ("rows", base.reshape(1, -1)), []
        return ("grid", base.reshape(1, -1), tuple(picked), 0), [index for index, _, _ in picked]

    u_source, _ = source("u", u0)
    p_source, swept = source("p", p0)
    from .cluster import build

    p = build(p_source, n)
    if client is not None:
        from .cluster import sweep_on_cluster

        y = sweep_on_cluster(client, name, u_source, p_source, n, threads=_cluster_threads(threads, n),
                             chunk_rows=chunk_rows)
    else:
        if chunk_rows is not None:
            raise TypeError("chunk_rows applies only with a client")
        y = sweep(name, build(u_source, n), p, threads=threads)
    outputs, units = _outputs(lay, y, p[0] if len(p) == 1 and not swept else p, swept)
    return columns, outputs, units


def _outputs(lay: Layout, y: NDArray[np.float64], p: NDArray[np.float64],
             swept: list[int]) -> tuple[dict[str, NDArray[np.float64]], dict[str, str]]:
    # Rows are grouped by their swept parameters only where the output
    # positions depend on the parameters; a layout that does not hands back
    # its default slots, whatever p.
    representatives: Iterable[NDArray[np.float64] | None]
    inverse: NDArray[np.intp] | None
    per_row = p.ndim == 2 and len(p) > 0 and lay.output_slots(p[0]) is not lay.output_slots_default
    if per_row:
        _, first, inverse = np.unique(p[:, swept], axis=0, return_index=True, return_inverse=True)
        groups, representatives, inverse = len(first), p[first], inverse.reshape(-1)
    else:
        groups, representatives, inverse = 1, [p if p.ndim == 1 else None], None

    # Per group: output name -> slot index. Names in the default order first.
    slot_lists = [lay.output_slots_default if rep is None else lay.output_slots(rep) for rep in representatives]
    layouts = [{s.name: s.index for s in slots if s.name} for slots in slot_lists]
    units: dict[str, str] = {}
    for s in itertools.chain(lay.output_slots_default, *slot_lists):
        if s.name and s.name not in units and any(s.name in g for g in layouts):
            units[s.name] = s.unit

    outputs: dict[str, NDArray[np.float64]] = {}
    rows = np.arange(len(y))
    for out in units:
        where = np.array([g.get(out, -1) for g in layouts], dtype=np.intp)
        if groups == 1 or np.all(where == where[0]) and where[0] >= 0:
            outputs[out] = np.ascontiguousarray(y[:, where[0]])
        else:
            index = where[inverse]
            outputs[out] = np.where(index >= 0, y[rows, np.maximum(index, 0)], np.nan)
    return outputs, units


def grid(model: ModuleType | str, *, client: Any = None, chunk_rows: int | None = None,
         threads: int | None = None, **axes: ArrayLike) -> Any:
    """Evaluate ``model`` on the Cartesian product of named axes.

    Parameters
    ----------
    model : module or str
        A model module or its name.
    **axes : float or sequence of float
        Input or parameter names of the model (``u.name`` or ``p.name``
        where a name is both; pass those as ``**{"u.name": values}``), each
        with a number or a sequence of numbers in the slot's unit. Slots not
        named keep their defaults. The first axis varies slowest.
    client, chunk_rows, threads
        As for :func:`sweep`; on a cluster only the axes travel.

    Returns
    -------
    pandas.DataFrame or dict of numpy.ndarray
        One column per axis, in the order given, then one per named output
        in slot order (an output named like an axis is ``y.<name>``): a
        DataFrame when pandas is installed, whose ``attrs["units"]`` maps
        every column to its unit; otherwise a dict of NumPy columns. For
        ``pump`` and ``recoupsimple`` a component column is NaN on rows
        whose ``component_count`` does not carry it.

    Raises
    ------
    hydrokit.layout.LayoutError
        For a name that is not an input or parameter of the model.
    ValueError
        For two axes naming the same slot, or an axis that is not a number
        or a one-dimensional sequence of numbers.

    Examples
    --------
    >>> import hydrokit
    >>> t = hydrokit.grid("pump", feed_flow=[0.001, 0.002], pressure_rise_bar=5)  # m³/s, bar
    >>> [round(v, 4) for v in t["pump_power_kw"]]                              # kW
    [0.7018, 1.4035]
    """
    columns, outputs, units = grid_arrays(model, axes, client=client, chunk_rows=chunk_rows, threads=threads)
    lay = layout(model_name(model))
    table = dict(columns)
    column_units: dict[str, str] = {}
    for key in columns:
        vector, index = lay.resolve(key)
        column_units[key] = (lay.inputs if vector == "u" else lay.params)[index].unit
    for out, column in outputs.items():
        key = f"y.{out}" if out in table else out
        table[key] = column
        column_units[key] = units[out]
    try:
        import pandas
    except ImportError:
        return table
    frame = pandas.DataFrame(table)
    frame.attrs["units"] = column_units
    return frame
