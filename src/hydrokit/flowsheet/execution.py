"""Running a flowsheet's plan on rows and assembling its table.

The plan gives every stream, every unit output and the loop status of each
row; the electric power of each unit and the KPIs are array arithmetic on
those columns here, the same operations for one row as for many, so a
solve and a sweep row agree bit for bit. The evaluators here are what the
``Flowsheet``'s ``evaluate``, ``sweep`` and an optimiser's search run; the
result of one solve is in :mod:`hydrokit.flowsheet.results`.
"""

from __future__ import annotations

from collections.abc import Callable, Hashable, Iterable, Mapping, Sequence, Set
from typing import Any, Protocol, cast, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

from ..batch import grid_axis as _axis
from .array import Array
from .nodes import STREAM_QUANTITIES, Feed, FlowsheetError, Thermal, Unit
from .nodes import choice_list as _choices
from .plan import STATUS_COLUMNS, Plan
from .columns import KPI_UNITS
from ..checks import CheckedPlant, check_columns, margins

# Per row: how many error and warning findings (see hydrokit.checks).
CHECK_COUNTS = ("checks.errors", "checks.warnings")

KPI_NAMES = tuple(f"kpi.{k}" for k in KPI_UNITS)

# A result table: column name -> one value per row.
Table = dict[str, NDArray[np.float64]]
# A column read as it is: (name, from the row matrix (else the plan's output matrix), column).
Direct = tuple[str, bool, int]
# An output column and the divisor that takes its heat to kW.
HeatTerm = tuple[int, float]
# What table_layout works out once per plan: the direct columns, the "power.<unit>" and "kpi.<name>"
# names, the status columns, the output columns of the counted feeds and of the products, and the
# heat terms of what is heated and what is cooled.
TableLayout = tuple[list[Direct], list[str], list[str], list[Direct], list[int], list[int],
                    tuple[list[HeatTerm], list[HeatTerm]]]


class FlowsheetView(CheckedPlant, Protocol):
    """What running a plan and assembling its table read of the flowsheet, besides what the design
    checks read: its nodes as the plan compiler made them, its products and plans."""

    @property
    def feeds(self) -> Mapping[str, Feed]: ...

    @property
    def units(self) -> Mapping[str, Unit]: ...

    @property
    def arrays(self) -> Mapping[str, Array]: ...

    @property
    def thermal(self) -> Mapping[str, Thermal]: ...  # heaters and coolers

    @property
    def products(self) -> Mapping[str, str]: ...  # product name -> "unit.port"

    def plan(self, names: Iterable[str]) -> Plan: ...


class Traced(Protocol):
    """A row or output matrix traced by a column program (hydrokit.batch.program): its columns are
    traced expressions that record NumPy's operations instead of computing them."""

    program: Any  # the Program recording them

    def __getitem__(self, key: Any) -> Any: ...


class CompiledRun(Protocol):
    """``run(matrix, threads) -> (K × N) array`` of compiled_evaluator; ``labels``: the names of a
    mapping's derived columns (None for a list)."""

    labels: list[Hashable] | None

    def __call__(self, matrix: ArrayLike, threads: int | None = ...) -> NDArray[np.float64]: ...


def _threads(threads: int | None, n: int) -> int:
    from ..batch import thread_count as batch_threads

    count: int = batch_threads(threads, n)
    return count


def _run_chunk(plan: Plan, source: Any, n: int, threads: int) -> NDArray[np.float64]:
    from ..batch.cluster import build

    return plan.run(build(source, n), threads)


def _run_on_cluster(client: Any, plan: Plan, matrix: NDArray[np.float64], threads: int,
                    chunk_rows: int | None) -> NDArray[np.float64]:
    # The same chunking, retries and checks as a model sweep on a cluster:
    # each task carries the plan (a few kB of arrays; its executor copy is
    # rebuilt on the worker) and a compact description of its rows, so a
    # lost worker's chunks are computed again elsewhere.
    from ..batch.cluster import check_client, chunk, describe, run_chunks
    from ..batch.cluster import chunk_rows_for as _chunk_rows

    workers = check_client(client, "flowsheet")
    n = len(matrix)
    source = describe(np.ascontiguousarray(matrix, dtype=np.float64))

    def submit(start: int, stop: int) -> Any:
        return client.submit(_run_chunk, plan, chunk(source, start, stop), stop - start, threads, pure=False)

    out: NDArray[np.float64] = run_chunks(client, "flowsheet", n, len(plan.columns),
                                          _chunk_rows(workers, n, chunk_rows), submit)
    return out


def _check_fractions(fs: FlowsheetView, plan: Plan, matrix: NDArray[np.float64],
                     lenient: bool = False) -> NDArray[np.bool_]:
    """Refuse rows whose splitter fractions cannot be honoured; ``lenient``: return their mask instead."""
    rejected = np.zeros(len(matrix), dtype=bool)
    for name, (fixed, varied) in plan.fractions.items():
        fr = np.tile(np.asarray(fixed[:-1], dtype=np.float64), (len(matrix), 1))
        for k, column in varied.items():
            fr[:, k] = matrix[:, column]
        bad = ~(np.all((fr >= 0.0) & (fr <= 1.0), axis=1) & (fr.sum(axis=1) <= 1.0 + 1e-9))
        if lenient:
            rejected |= bad
        elif bad.any():
            row = int(np.argmax(bad))
            raise FlowsheetError(f"splitter {name!r}, row {row}: fractions {fr[row].tolist()} must lie in [0, 1] "
                                 f"and add up to at most 1 (the last outlet takes the rest)")
    return rejected


def _matrix(names: Sequence[str], matrix: ArrayLike) -> NDArray[np.float64]:
    arr = np.asarray(matrix, dtype=np.float64)
    if arr.ndim == 1 and len(names) == 1:
        arr = arr.reshape(-1, 1)
    if arr.ndim != 2 or arr.shape[1] != len(names):
        raise FlowsheetError(f"the matrix must have shape (N, {len(names)}) for names {list(names)}, got {arr.shape}")
    return np.require(arr, np.float64, ["C", "A"])


def evaluate(fs: FlowsheetView, names: str | Iterable[str], matrix: ArrayLike, *, threads: int | None = None,
             client: Any = None, chunk_rows: int | None = None, columns: str | Iterable[str] | None = None,
             progress: bool | None = False) -> Table:
    """The rows of ``matrix`` over ``names``, solved: a dict of NumPy columns.

    ``columns``: only these table columns (in table order), for callers that
    read a few of them many times over small batches; ``progress``: see
    hydrokit.display.progress (off by default here)."""
    return evaluator(fs, names, threads=threads, client=client, chunk_rows=chunk_rows, columns=columns,
                     progress=progress)(matrix)


def settled(fs: FlowsheetView, names: str | Iterable[str], client: Any,
            chunk_rows: int | None) -> tuple[tuple[str, ...], Plan]:
    """The names as a tuple and their plan, checked once."""
    if isinstance(names, str):
        names = [names]
    names = tuple(names)
    if len(set(names)) != len(names):
        raise FlowsheetError(f"names given twice in {list(names)}")
    if client is None and chunk_rows is not None:
        raise TypeError("chunk_rows applies only with a client")
    return names, fs.plan(names)


# Sweeps from this many rows run in pieces when progress may be shown (rows are independent:
# the pieces give the same rows, bit for bit).
PROGRESS_ROWS = 8192


def check_rows(fs: FlowsheetView, plan: Plan, matrix: NDArray[np.float64],
               lenient: bool = False) -> NDArray[np.bool_] | None:
    """Refuse rows the plan must not run: splitter fractions out of range, vessel counts not whole,
    a pressure below ambient where the model does not pressurise. ``lenient``: rows whose fractions
    cannot be honoured are returned as a mask (None without splitters) instead of refused."""
    rejected = _check_fractions(fs, plan, matrix, lenient) if plan.fractions else None
    if getattr(plan, "counts", None):
        from .array import check_counts

        check_counts(plan, matrix)
    floors: dict[int, str] = getattr(plan, "floors", {})
    for column, name in floors.items():
        # A NaN or an infinity is let through: the row comes back flagged.
        low = matrix[:, column] < fs.ambient_pressure_bar
        if low.any():
            row = int(np.argmax(low))
            raise FlowsheetError(f"{name!r}, row {row}: {float(matrix[row, column])!r} bar is below the ambient pressure "
                                 f"{fs.ambient_pressure_bar!r} bar; a stream the model does not pressurise leaves "
                                 f"at ambient or above")
    return rejected


def _solved(fs: FlowsheetView, plan: Plan, names: Sequence[str], matrix: ArrayLike, threads: int | None,
            client: Any, chunk_rows: int | None, lenient: bool = False,
            progress: bool | None = False) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """(row matrix, the plan's output matrix) of a matrix of rows.

    ``lenient``: a row whose splitter fractions cannot be honoured is solved as it is and
    reported as not converged (an optimiser's infeasible point) instead of refused."""
    matrix = _matrix(names, matrix)
    rejected = check_rows(fs, plan, matrix, lenient)
    n = len(matrix)
    if client is not None:
        count = 1 if threads is None else _threads(threads, n)
        out = _run_on_cluster(client, plan, matrix, count, chunk_rows)
    else:
        out = _run_local(plan, matrix, threads, progress)
    if rejected is not None and rejected.any():
        out[rejected, plan.column_index["converged"]] = 0.0
    return matrix, out


def _run_local(plan: Plan, matrix: NDArray[np.float64], threads: int | None,
               progress: bool | None) -> NDArray[np.float64]:
    n = len(matrix)
    if progress is not False and n >= PROGRESS_ROWS:
        from ..present.progress import Progress, wanted

        if wanted(progress):
            step = max(PROGRESS_ROWS // 2, n // 50)
            count = _threads(threads, step)
            out = np.empty((n, len(plan.columns)), dtype=np.float64)
            with Progress("flowsheet sweep", n, "rows", progress) as ticker:
                for start in range(0, n, step):
                    stop = min(n, start + step)
                    plan.run(matrix[start:stop], count, out[start:stop])
                    ticker.update(stop - start)
            return out
    return plan.run(matrix, _threads(threads, n))


def evaluator(fs: FlowsheetView, names: str | Iterable[str], *, threads: int | None = None, client: Any = None,
              chunk_rows: int | None = None, columns: str | Iterable[str] | None = None, lenient: bool = False,
              progress: bool | None = False) -> Callable[[ArrayLike], Table]:
    """``evaluate`` with everything but the rows settled once: a function of the matrix.

    The names, the plan and the columns are checked here, so a caller that
    solves many small batches over the same names (an optimiser) pays for
    that once."""
    names, plan = settled(fs, names, client, chunk_rows)
    recipe = table_recipe(fs, plan, _wanted(fs, plan, columns))

    def run(matrix: ArrayLike) -> Table:
        return build_table(recipe, *_solved(fs, plan, names, matrix, threads, client, chunk_rows, lenient, progress))

    return run


def compiled_evaluator(fs: FlowsheetView, names: str | Iterable[str], derive: Callable[[dict[str, Any]], Any], *,
                       key: Hashable = None, threads: int | None = None, client: Any = None,
                       chunk_rows: int | None = None, lenient: bool = False) -> CompiledRun:
    """Columns derived from the table of the rows, computed as one compiled column program.

    ``derive(table) -> columns`` (a list, or a mapping name -> column) is
    called here, on the table traced by a column program
    (hydrokit.batch.program); the columns it returns become the program.
    Returns ``run(matrix, threads=threads) -> (K × N) array``, row k the k-th
    derived column, bitwise what ``derive`` gives on ``evaluate``'s table of
    the same rows; ``run.labels`` holds the names of a mapping's columns.
    ``key``: a hashable that stands for what ``derive`` computes; the program
    is then traced once per plan and key and kept with the plan."""
    from ..batch.program import Program

    names, plan = settled(fs, names, client, chunk_rows)
    # key -> (the compiled program, the labels of a mapping's columns)
    programs: dict[Hashable, tuple[Any, list[Hashable] | None]] = plan.memo.setdefault("table_programs", {})
    found = programs.get(key) if key is not None else None
    if found is None:
        program = Program(len(names), len(plan.columns))
        derived = derive(build_table(table_recipe(fs, plan, None), program.rows(), program.out()))
        labels = list(derived) if hasattr(derived, "keys") else None
        found = program.compile(list(derived.values()) if labels is not None else derived), labels
        if key is not None:
            if len(programs) >= 32:
                programs.clear()
            programs[key] = found
    columns, labels = found

    def run(matrix: ArrayLike, threads: int | None = threads) -> NDArray[np.float64]:
        result: NDArray[np.float64] = columns(*_solved(fs, plan, names, matrix, threads, client, chunk_rows, lenient))
        return result

    compiled = cast(CompiledRun, run)  # a CompiledRun once its labels are set
    compiled.labels = labels
    return compiled


def table_columns(fs: FlowsheetView, names: str | Iterable[str]) -> frozenset[str]:
    """Every column of ``fs.evaluate(names, ...)`` (a set)."""
    return _known_columns(fs, fs.plan(tuple([names] if isinstance(names, str) else names)))


def table_layout(fs: FlowsheetView, plan: Plan) -> TableLayout:
    """(columns read straight from the row matrix or the plan's output, computed columns), once per plan."""
    kept: TableLayout | None = plan.memo.get("table_layout")
    if kept is not None:
        return kept
    taken = set(plan.names)
    direct = [(name, True, j) for j, name in enumerate(plan.names)]

    def add(name: str, j: int) -> None:
        direct.append((f"y.{name}" if name in taken else name, False, j))

    for unit, outputs in plan.unit_outputs.items():
        for output, j in outputs:
            add(f"{unit}.{output}", j)
    feeds = set(fs.feeds)
    quantities = (*STREAM_QUANTITIES, *fs.components)
    for stream, j in plan.streams.items():
        for k, q in enumerate(quantities):
            name = f"{stream}.{q}"
            if stream in feeds and name in taken:
                continue  # a varied feed quantity: its column is the stream's
            add(name, j + k)
    power = [f"power.{unit}" for unit in (*fs.units, *fs.arrays)]
    kpis = [f"kpi.{k}" for k in KPI_UNITS]
    status = [(name, False, plan.column_index[name]) for name in STATUS_COLUMNS]
    # Feeds counted in kpi.feed_flow (a utility loop is not raw water), and
    # the heat that enters or leaves the plant: (column, divisor to kW) of
    # the units' own heat duties (W) and the heaters' (kW), the coolers' (kW).
    counted = [plan.streams[name] for name, feed in fs.feeds.items() if not feed.utility]
    products = [plan.streams[stream] for stream in fs.products.values()]
    heat = [(j, 1000.0) for unit in fs.units.values() for output, _ in getattr(unit.table, "HEAT", ())
            for name, j in plan.unit_outputs[unit.name] if name == output]
    thermal: Mapping[str, Thermal] = getattr(fs, "thermal", {})
    heat += [(plan.unit_outputs[n][0][1], 1.0) for n, node in thermal.items() if node.kind == "heater"]
    cooling = [(plan.unit_outputs[n][0][1], 1.0) for n, node in thermal.items() if node.kind == "cooler"]
    layout: TableLayout = (direct, power, kpis, status, counted, products, (heat, cooling))
    plan.memo["table_layout"] = layout
    return layout


def _outlet_columns(fs: FlowsheetView, plan: Plan) -> dict[str, list[int]]:
    """Unit (heaters and coolers too) -> the output-matrix columns of every stream it sends on (once per
    plan)."""
    found: dict[str, list[int]] | None = plan.memo.get("outlet_columns")
    if found is None:
        width = len(STREAM_QUANTITIES) + len(fs.components)
        found = {}
        thermal: Mapping[str, Thermal] = getattr(fs, "thermal", {})
        nodes: list[Unit | Array | Thermal] = [*fs.units.values(), *fs.arrays.values(), *thermal.values()]
        for unit in nodes:
            found[unit.name] = [j + k for port in unit.outlets
                                if (j := plan.streams.get(f"{unit.name}.{port}")) is not None
                                for k in range(width)]
        plan.memo["outlet_columns"] = found
    return found


def _known_columns(fs: FlowsheetView, plan: Plan) -> frozenset[str]:
    known: frozenset[str] | None = plan.memo.get("all_columns")
    if known is None:
        direct, power, kpis = table_layout(fs, plan)[:3]
        known = frozenset([name for name, _, _ in direct] + power + kpis +
                                              list(STATUS_COLUMNS) + ["flagged", *CHECK_COUNTS] +
                                              check_columns(fs, plan))
        plan.memo["all_columns"] = known
    return known


def _wanted(fs: FlowsheetView, plan: Plan, columns: str | Iterable[str] | None) -> set[str] | None:
    """The set of columns asked for (None: all), every name checked before the rows run."""
    if columns is None:
        return None
    wanted = {columns} if isinstance(columns, str) else set(columns)
    unknown = wanted - _known_columns(fs, plan)
    if unknown:
        raise FlowsheetError(f"unknown column(s) {_choices(sorted(unknown))}; columns are those of fs.evaluate")
    return wanted


class _Recipe:
    """What building a table of a set of columns takes, worked out once per plan and set."""

    dropped: Sequence[str]
    dropped_checks: list[str]
    flags: NDArray[np.intp]
    streams: NDArray[np.intp]
    starts: NDArray[np.intp]
    flag_order: NDArray[np.intp]
    flag_groups: list[tuple[list[int], list[int]]]

    def __init__(self, fs: FlowsheetView, plan: Plan, wanted: Set[str] | None) -> None:
        direct, power_names, kpi_names, status, counted, products, heat = table_layout(fs, plan)

        def asked(*names: str) -> bool:
            return wanted is None or not wanted.isdisjoint(names)

        self.direct = [d for d in direct if wanted is None or d[0] in wanted]
        self.units = [name[len("power."):] for name in power_names]
        self.power = [(unit, j, sign) for unit, j, sign in plan.power if sign != 0.0]
        self.power_shown = [wanted is None or name in wanted for name in power_names]
        self.power_names = power_names
        self.total = asked(*power_names, "kpi.electric_power_kw", "kpi.specific_energy_kwh_m3")
        self.product = asked("kpi.product_flow", "kpi.recovery", "kpi.specific_energy_kwh_m3",
                             "kpi.specific_heat_kwh_m3", "kpi.specific_cooling_kwh_m3")
        self.feed = asked("kpi.feed_flow", "kpi.recovery")
        self.recovery = asked("kpi.recovery")
        self.sec = asked("kpi.specific_energy_kwh_m3")
        self.heat_kw = asked("kpi.heat_kw", "kpi.specific_heat_kwh_m3")
        self.cooling_kw = asked("kpi.cooling_kw", "kpi.specific_cooling_kwh_m3")
        self.kpis = [name for name in kpi_names if wanted is None or name in wanted]
        self.counted, self.products, (self.heat, self.cooling) = counted, products, heat
        self.status = [(name, j) for name, _, j in status if wanted is None or name in wanted]
        self.flagged = wanted is None or "flagged" in wanted
        # The design checks read any column of the table: when one is asked for, every direct
        # column is built and those not asked for are left out at the end.
        checks = [*CHECK_COUNTS, *check_columns(fs, plan)]
        self.checks = wanted is None or not wanted.isdisjoint(checks)
        self.fs, self.plan = fs, plan
        self.dropped = ()
        if self.checks and wanted is not None:
            self.direct = direct
            self.dropped = [name for name, _, _ in direct if name not in wanted]
            self.dropped_checks = [name for name in checks if name not in wanted]
        if self.flagged:
            self.flags, self.streams, self.starts = _flag_layout(fs, plan)
            self.flag_order = plan.memo["table_flag_order"]
            self.flag_groups = plan.memo["table_flag_groups"]


def table_recipe(fs: FlowsheetView, plan: Plan, wanted: Set[str] | None) -> _Recipe:
    recipes: dict[frozenset[str] | None, _Recipe] = plan.memo.setdefault("table_recipes", {})
    key = None if wanted is None else frozenset(wanted)
    recipe = recipes.get(key)
    if recipe is None:
        recipe = recipes[key] = _Recipe(fs, plan, wanted)
    return recipe


@overload
def build_table(r: _Recipe, matrix: NDArray[np.float64], out: NDArray[np.float64]) -> Table: ...


@overload
def build_table(r: _Recipe, matrix: Traced, out: Traced) -> dict[str, Any]: ...


def build_table(r: _Recipe, matrix: Any, out: Any) -> dict[str, Any]:
    """The table of a set of columns from the row matrix and the plan's output matrix (arrays, or
    the traced matrices of a column program, which then records the same operations)."""
    # The columns are NumPy arrays or traced expressions, worked on by the same operations.
    table: dict[str, Any] = {}
    for name, from_rows, j in r.direct:
        table[name] = matrix[:, j].copy() if from_rows else out[:, j]
    traced = not isinstance(out, np.ndarray)
    if traced:
        def zeros() -> Any:
            return out.program.constant(0.0)
    else:
        n = len(out)

        def zeros() -> Any:
            return np.zeros(n)
    if r.total or r.product or r.feed or r.heat_kw or r.cooling_kw:
        # Hostile rows give NaN or infinite figures, flagged in the table; no warnings.
        with np.errstate(all="ignore"):
            kpis: dict[str, Any] = {}
            if r.total:
                power = {unit: zeros() for unit in r.units}
                for unit, k, sign in r.power:
                    power[unit] = power[unit] + sign * out[:, k]
                total = zeros()
                for column, name, shown in zip(power.values(), r.power_names, r.power_shown):
                    if shown:
                        table[name] = column
                    total = total + column
                kpis["kpi.electric_power_kw"] = total
            if r.product:
                product = zeros()
                for j in r.products:
                    product = product + out[:, j]
                kpis["kpi.product_flow"] = product
            if r.feed:
                feed = zeros()
                for j in r.counted:
                    feed = feed + out[:, j]
                kpis["kpi.feed_flow"] = feed
            if r.recovery:
                kpis["kpi.recovery"] = product / feed
            if r.sec:
                kpis["kpi.specific_energy_kwh_m3"] = total / (product * 3600.0)
            for wanted, terms, key in ((r.heat_kw, r.heat, "heat"), (r.cooling_kw, r.cooling, "cooling")):
                if wanted:
                    kw = zeros()
                    for j, divisor in terms:
                        kw = kw + out[:, j] / divisor
                    kpis[f"kpi.{key}_kw"] = kw
                    if r.product:
                        kpis[f"kpi.specific_{key}_kwh_m3"] = kw / (product * 3600.0)
            for name in r.kpis:
                table[name] = kpis[name]
    for name, j in r.status:
        table[name] = out[:, j]
    if r.flagged:
        # A unit is flagged by its own diagnostics (a non-zero or NaN flag
        # output) or when a stream it sends on carries a NaN or an infinity:
        # a hostile value is never passed on as a clean result.
        flags, streams, starts = r.flags, r.streams, r.starts
        if traced:
            flagged = out.program.bad_count(r.flag_groups)
        elif r.checks:
            # Counted below by the design checks' compiled program, in the same pass over the rows.
            flagged = None
        elif len(starts):
            # One test per column, then "any" over each unit's own run of columns.
            bad = np.empty((n, len(flags) + len(streams)), dtype=bool)
            np.not_equal(out[:, flags], 0.0, out=bad[:, :len(flags)])
            np.isfinite(out[:, streams], out=bad[:, len(flags):])
            np.logical_not(bad[:, len(flags):], out=bad[:, len(flags):])
            flagged = np.logical_or.reduceat(bad[:, r.flag_order], starts, axis=1).sum(axis=1).astype(np.float64)
        else:
            flagged = zeros()
        table["flagged"] = flagged
    if r.checks:
        if traced:
            columns, errors, warnings = margins(r.fs, r.plan, table, out.program.constant)
            table.update(columns)
            table["checks.errors"], table["checks.warnings"] = errors, warnings
        else:
            # One compiled column program of every margin and both counts, traced once per plan
            # from the same expressions: bitwise what NumPy gives, in one call.
            run, labels = check_program(r.fs, r.plan)
            table.update(zip(labels, run(matrix, out)))
            if not r.flagged:
                del table["flagged"]
        if r.dropped:
            for name in (*r.dropped, *r.dropped_checks):
                table.pop(name, None)
    return table


def check_program(fs: FlowsheetView, plan: Plan) -> tuple[Any, list[str]]:
    """(compiled program, labels) of the design checks' margin columns and counts, once per plan."""
    found: tuple[Any, list[str]] | None = plan.memo.get("table_check_program")
    if found is None:
        from ..batch.program import Program

        program = Program(len(plan.names), len(plan.columns))
        traced = build_table(table_recipe(fs, plan, None), program.rows(), program.out())
        # The flagged count too: it reads the same output columns, and one compiled pass is cheaper.
        labels: list[str] = [*check_columns(fs, plan), *CHECK_COUNTS, "flagged"]
        found = (program.compile([traced[name] for name in labels]), labels)
        plan.memo["table_check_program"] = found
    return found


def _flag_layout(fs: FlowsheetView, plan: Plan) -> tuple[NDArray[np.intp], NDArray[np.intp], NDArray[np.intp]]:
    """The output columns the flagged count tests, once per plan: every unit's flag outputs (non-zero:
    flagged), the streams it sends on (NaN or infinite: flagged), and where each unit's run starts
    once both are put in unit order; and per unit, its (flag columns, stream columns)."""
    found: tuple[NDArray[np.intp], NDArray[np.intp], NDArray[np.intp]] | None = \
        plan.memo.get("table_flag_columns")
    if found is None:
        flags: list[int] = []
        streams: list[int] = []
        runs: list[tuple[int, int, int, int]] = []
        groups: list[tuple[list[int], list[int]]] = []
        width = len(STREAM_QUANTITIES) + len(fs.components)
        # A feed with a NaN or infinite quantity counts too (a hostile row is never clean), and
        # so does a unit whose counted electric power is not finite.
        tested = {name: list(range(plan.streams[name], plan.streams[name] + width)) for name in fs.feeds}
        powered: dict[str, list[int]] = {}
        for unit, j, sign in plan.power:
            if sign != 0.0:
                assert j is not None  # every counted power term has its output column
                powered.setdefault(unit, []).append(j)
        varied: dict[str, list[int]] = getattr(plan, "varied", {})
        for unit, sent in _outlet_columns(fs, plan).items():
            tested[unit] = list(sent) + powered.get(unit, []) + varied.get(unit, [])
        for unit, sent in tested.items():
            own = list(plan.flags.get(unit, ()))
            if not own and not sent:
                continue
            runs.append((len(flags), len(own), len(streams), len(sent)))
            groups.append((own, list(sent)))
            flags += own
            streams += list(sent)
        order: list[int] = []
        starts: list[int] = []
        for f0, nf, s0, ns in runs:
            starts.append(len(order))
            order += list(range(f0, f0 + nf)) + [len(flags) + k for k in range(s0, s0 + ns)]
        plan.memo["table_flag_order"] = np.array(order, dtype=np.intp)
        plan.memo["table_flag_groups"] = groups
        found = (np.array(flags, dtype=np.intp), np.array(streams, dtype=np.intp), np.array(starts, dtype=np.intp))
        plan.memo["table_flag_columns"] = found
    return found


def sweep(fs: FlowsheetView, rows: Mapping[str, ArrayLike] | None, axes: Mapping[str, ArrayLike], *,
          threads: int | None = None, client: Any = None, chunk_rows: int | None = None,
          columns: str | Iterable[str] | None = None, progress: bool | None = None) -> Any:
    if progress is not None and not isinstance(progress, bool):
        raise TypeError(f"progress must be True, False or None, not {progress!r}")
    if rows is not None and axes:
        raise FlowsheetError("give either rows (a mapping of columns) or axes as keywords, not both")
    if rows is not None:
        if not hasattr(rows, "keys"):
            raise FlowsheetError(f"rows must be a mapping name -> 1-D column, not {type(rows).__name__}")
        names = tuple(rows.keys())
        given = [np.asarray(rows[k], dtype=np.float64).reshape(-1) if np.ndim(rows[k]) <= 1 else None
                 for k in names]
        for k, c in zip(names, given):
            if c is None:
                raise FlowsheetError(f"rows[{k!r}] must be a 1-D column")
        vectors = cast(list[NDArray[np.float64]], given)  # each checked above
        lengths = {len(c) for c in vectors}
        if len(lengths) > 1:
            raise FlowsheetError(f"rows columns differ in length: "
                                 f"{', '.join(f'{k}: {len(c)}' for k, c in zip(names, vectors))}")
        matrix = np.column_stack(vectors) if vectors else np.empty((1, 0))
    else:
        names = tuple(axes)
        values = [_axis(k, v, "sweep", FlowsheetError) for k, v in axes.items()]
        mesh = np.meshgrid(*values, indexing="ij") if values else []
        matrix = np.column_stack([m.reshape(-1) for m in mesh]) if values else np.empty((1, 0))
    wanted = None
    if columns is not None:
        from .columns import select

        try:
            wanted = select(table_columns(fs, names), names, columns)
        except ValueError as exc:
            raise FlowsheetError(str(exc)) from None
    table = evaluate(fs, names, matrix, threads=threads, client=client, chunk_rows=chunk_rows, columns=wanted,
                     progress=progress)
    try:
        import pandas
    except ImportError:
        return table
    from .columns import column_units

    # The columns are this call's own arrays: the frame takes them as they
    # are rather than copying each into one block.
    frame = pandas.DataFrame(table, copy=False)
    # The flowsheet itself; its class is not named here, its module imports this one.
    frame.attrs["units"] = column_units(cast(Any, fs), names, list(table))
    return frame
