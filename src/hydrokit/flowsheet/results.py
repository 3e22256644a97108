"""The result of one solve: a solved row whose table values are built on first use.

The table is assembled by :mod:`hydrokit.flowsheet.execution`, with the same
operations as a sweep's, so a result's values are its sweep row's bit for
bit. The execution module's names are also reached here as before.
"""

from __future__ import annotations

from collections.abc import Callable, Hashable, Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Generic, Protocol, TypeVar, cast

import numpy as np
from numpy.typing import ArrayLike, NDArray

from ..ports import STREAM_UNITS
from .nodes import STREAM_QUANTITIES, Feed, FlowsheetError, Thermal
from .nodes import choice_list as _choices
from .nodes import finite_number as _number
from .nodes import short_text as _short
from ..checks import findings
# What the package and its users read here (hydrokit.flowsheet.results.<name>).
from .columns import KPI_UNITS
from .execution import (CHECK_COUNTS, CompiledRun, KPI_NAMES, PROGRESS_ROWS, build_table, check_program,  # noqa: F401
                        check_rows, compiled_evaluator, evaluate, evaluator, settled, sweep, table_columns,
                        table_layout, table_recipe)
from .plan import Flowsheet as PlanSource
from .plan import Plan

if TYPE_CHECKING:
    from ..checks import Finding

__all__ = ["CHECK_COUNTS", "KPI_NAMES", "KPI_UNITS", "PROGRESS_ROWS", "Result", "build_table", "check_program",
           "check_rows", "compiled_evaluator", "evaluate", "evaluator", "row_solver", "settled", "solve", "sweep",
           "table_columns", "table_layout", "table_recipe"]


class SolvedPlant(PlanSource, Protocol):
    """What a result reads of its flowsheet, itself or through its table and design checks, besides
    what compiling reads."""

    @property
    def _version(self) -> int: ...  # counts the edits: a result refuses a flowsheet changed since

    @property
    def products(self) -> Mapping[str, str]: ...  # product name -> stream name

    @property
    def feeds(self) -> Mapping[str, Feed]: ...

    @property
    def thermal(self) -> Mapping[str, Thermal]: ...  # heaters and coolers

    def plan(self, names: Iterable[str] = ()) -> Plan: ...  # compiled with these row variables

    def water_class(self, feed: str) -> str: ...  # sets the design checks' guidelines

    def streams(self) -> list[str]: ...  # for its views

    @property
    def result_type(self) -> type[Result[Any]]: ...  # what a solve of it builds


# The flowsheet a result was solved from (the Flowsheet itself, for a result its solve made).
FS = TypeVar("FS", bound=SolvedPlant, covariant=True)
# The same, for the functions that solve one.
P = TypeVar("P", bound=SolvedPlant)


def row_solver(fs: P, names: Sequence[str], extra: Callable[[dict[str, Any]], Mapping[str, Any]] | None = None,
               key: Hashable = None,
               lenient: bool = False) -> Callable[[Sequence[float]], tuple[Result[P], dict[str, float]]]:
    """``solve(values) -> (result, extra)`` for points over ``names``: the result of
    ``fs.solve`` and the ``extra(table)`` columns (a mapping name -> column, e.g. cost
    columns) of its row, computed by one compiled column program (traced once per plan and
    ``key``, see ``compiled_evaluator``)."""
    names, plan = settled(fs, names, None, None)

    def derive(table: Mapping[str, Any]) -> dict[str | tuple[str, str], Any]:
        # Table columns by name, the extra ones as ("extra", name).
        derived: dict[str | tuple[str, str], Any] = {}
        derived.update(table)
        if extra is not None:
            derived.update({("extra", name): column for name, column in extra(dict(table)).items()})
        return derived

    run = compiled_evaluator(fs, names, derive, key=None if key is None else ("row", key), lenient=lenient)

    def solve_row(values: Sequence[float]) -> tuple[Result[FS], dict[str, float]]:
        matrix = np.array([values], dtype=np.float64).reshape(1, len(names))
        table: dict[str, float] = {}
        more: dict[str, float] = {}
        labels = run.labels
        assert labels is not None  # derive gave a mapping
        for label, value in zip(labels, run(matrix, 1)[:, 0].tolist()):
            if isinstance(label, str):
                table[label] = value
            else:
                more[cast(tuple[str, str], label)[1]] = value  # ("extra", name)
        return fs.result_type(fs, plan, table), more

    return solve_row


class Result(Generic[FS]):
    """One solved operating point of a flowsheet.

    Made by :meth:`Flowsheet.solve`; its values are those of the matching
    row of :meth:`Flowsheet.sweep`, bit for bit. A result is returned
    whether or not the recycle loops converged: check ``converged`` and
    ``flagged`` before trusting it.

    The solve computes the plan's row only; the table row, KPIs, power,
    findings and costs are built from it when first read, and kept.

    Attributes
    ----------
    converged : bool
        Every recycle loop met the flowsheet's tolerance (True without loops).
    iterations : int
        Passes of the recycle loops (0 without loops).
    residual : float
        The largest relative change of a tear-stream quantity over the last
        pass (0 without loops; NaN when a tear value is NaN).
    flagged : int
        The number of units whose flag outputs are non-zero or NaN, that
        send on a NaN or infinite stream, whose counted power is not finite
        or that are given a NaN or infinity in a varied slot, and of feeds
        with a non-finite quantity (0: nothing reports a problem).
        A loop that did not converge is in ``converged``, not here.
    kpis : dict
        ``electric_power_kw`` (kW, net: drives minus recovered power),
        ``product_flow`` and ``feed_flow`` (m³/s; utility feeds not
        counted), ``recovery`` (product / feed flow, a fraction),
        ``specific_energy_kwh_m3`` (kWh per m³ of product), ``heat_kw``
        (kW of heat bought: heaters' duties and the heat duty of a unit
        that heats its own feed), ``cooling_kw`` (kW removed by coolers)
        and both per m³ of product, ``specific_heat_kwh_m3`` and
        ``specific_cooling_kwh_m3``.
    power : dict
        Unit -> electric power in kW as counted in ``kpis``: a drive
        positive, a recovered power negative, 0 where not counted.
    checks : list of hydrokit.checks.Finding
        The design checks this point fails, errors first: each with
        ``unit``, ``check``, ``severity`` (``"error"``: physically
        impossible or outside the model; ``"warning"``: a design guideline
        broken), ``value``, ``limit``, ``units`` and ``message``.
    valid : bool
        No finding is an error.
    row : dict
        Column name -> float: this point's row of the sweep table (the
        columns of :meth:`Flowsheet.evaluate`).
    flowsheet : Flowsheet
        The flowsheet solved.

    Examples
    --------
    With ``fs``, the seawater example plant, and ``res = fs.solve()``:

    >>> res.converged, res.iterations, res.flagged
    (True, 0, 0)
    >>> {unit: round(kw, 3) for unit, kw in res.power.items()}    # kW
    {'hp': 7.763, 'ro': 0.0, 'erd': -3.027}
    >>> round(res.kpis["electric_power_kw"], 3), round(res.row["kpi.product_flow"], 7)  # kW, m³/s
    (4.736, 0.0004439)
    """

    # Built on first read (see _LAZY), then ordinary attributes.
    row: dict[str, float]
    flagged: int
    kpis: dict[str, float]
    power: dict[str, float]
    checks: list[Finding]
    valid: bool
    # The keywords of the solve, in the order given (a result made by _lazy).
    _given: tuple[str, ...]

    def __init__(self, fs: FS, plan: Plan, row: dict[str, float]) -> None:
        self._fs = fs
        self.flowsheet = fs
        self._plan = plan
        self._version = fs._version  # the flowsheet as solved
        self._rows: NDArray[np.float64] | None = None  # the solved row matrix and the plan's output
        self._out: NDArray[np.float64] | None = None
        self.row = row  # column name -> float, as in a sweep table
        self.converged = bool(row["converged"] == 1.0)
        self.iterations = int(row["iterations"])
        self.residual = row["residual"]

    @classmethod
    def _lazy(cls, fs: P, plan: Plan, matrix: NDArray[np.float64], out: NDArray[np.float64],
              given: tuple[str, ...] = ()) -> Result[P]:
        """The result of a solved row (its 1-row matrix and the plan's 1-row output): the loop status
        now, every other table column on first use, by the same operations as the sweep's table."""
        self = cast("Result[P]", cls.__new__(cls))
        self._fs = fs
        self.flowsheet = fs
        self._plan = plan
        self._version = fs._version
        self._rows, self._out, self._given = matrix, out, given
        if None not in plan.memo.get("table_recipes", ()):
            # What building the row takes, worked out now from the flowsheet as solved (once per
            # plan): a value first read after the flowsheet changed is still this point's.
            table_recipe(fs, plan, None)
            check_program(fs, plan)
            for names in (KPI_NAMES, table_layout(fs, plan)[1], ("flagged",)):
                table_recipe(fs, plan, frozenset(names))
        index = plan.column_index
        self.converged = bool(out[0, index["converged"]] == 1.0)
        self.iterations = int(out[0, index["iterations"]])
        self.residual = float(out[0, index["residual"]])
        return self

    def __getattr__(self, name: str) -> object:
        # Only for what is not built yet: once built (or set), a value is an ordinary attribute.
        build = _LAZY.get(name)
        if build is None:
            raise AttributeError(f"{type(self).__name__!r} object has no attribute {name!r}")
        value = self.__dict__[name] = build(self)
        return value

    def _columns(self, names: Iterable[str]) -> dict[str, float]:
        """Some columns of this point's row: from the row once built, else from a table of just those."""
        row: dict[str, float] | None = self.__dict__.get("row")
        if row is not None:
            return {name: row[name] for name in names}
        table = build_table(table_recipe(self._fs, self._plan, frozenset(names)), *self._matrices())
        return {name: float(table[name][0]) for name in names}

    def _matrices(self) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        # A result without its row holds the matrices it was solved from.
        assert self._rows is not None and self._out is not None
        return self._rows, self._out

    def _row(self) -> dict[str, float]:
        table = build_table(table_recipe(self._fs, self._plan, None), *self._matrices())
        # The row as a sweep over the keywords in the order given would have it.
        row = {k: float(table[k][0]) for k in self._given if k in table}
        row.update((k, float(v[0])) for k, v in table.items() if k not in row)
        return row

    def _kpis(self) -> dict[str, float]:
        columns = self._columns(KPI_NAMES)
        return {k: columns[f"kpi.{k}"] for k in KPI_UNITS}

    def _power(self) -> dict[str, float]:
        names = table_layout(self._fs, self._plan)[1]  # "power.<unit>", as the plan was made
        columns = self._columns(names)
        return {name[len("power."):]: columns[name] for name in names}

    def _current(self) -> None:
        """Refuse to read the flowsheet through a result solved before it changed."""
        if self._fs._version != self._version:
            raise FlowsheetError("the flowsheet has changed since this result was solved "
                                 "(a node, stream, product or tear was added); solve it again")

    def __repr__(self) -> str:
        from .views import result_repr

        return result_repr(self)

    def _repr_html_(self) -> str:
        from .views import result_html

        return result_html(self)

    def outputs(self, unit: str) -> dict[str, float]:
        """A unit's named outputs (name -> value), diagnostics included.

        Parameters
        ----------
        unit : str
            A model unit's name.

        Returns
        -------
        dict
            Output name -> value, in the model's output order and units
            (``hydrokit.layout.layout(model)`` lists them).

        Raises
        ------
        FlowsheetError
            For a name that is not a model unit.

        Examples
        --------
        With ``fs``, the seawater example plant, and ``res = fs.solve()``:

        >>> round(res.outputs("hp")["pump_power_kw"], 3), res.outputs("hp")["input_flag"]  # kW, flag
        (7.763, 0.0)
        """
        self._current()
        if unit not in self._plan.unit_outputs:
            raise FlowsheetError(f"unknown unit {unit!r}; choose from: {_choices(self._plan.unit_outputs)}")
        return {name: self._value(f"{unit}.{name}") for name, _ in self._plan.unit_outputs[unit]}

    def elements(self, array: str) -> list[dict[str, float]]:
        """The projection table of an array: one row per element of each stage's representative vessel.

        Each row (a dict) holds ``stage``, ``element``, the element's feed
        (``feed_flow`` m³/s, ``feed_temperature_c``, ``feed_pressure_bar``,
        ``feed_<component>`` g/m³), every output of the element model by
        name, ``recovery``, ``flux_lmh`` (L/(m²·h)) and
        ``polarisation_factor``; values are per vessel.

        Raises
        ------
        FlowsheetError
            For a name that is not an array.
        """
        self._current()
        arrays = self._fs.arrays
        if array not in arrays:
            raise FlowsheetError(f"unknown array {array!r}; choose from: {_choices(arrays)}")
        values = {name: self._value(f"{array}.{name}") for name, _ in self._plan.unit_outputs[array]}
        return arrays[array].element_rows(values)

    def _value(self, column: str) -> float:
        renamed = f"y.{column}"
        row: dict[str, float] | None = self.__dict__.get("row")
        if row is not None:
            return row[renamed] if renamed in row else row[column]
        # A stream or unit output is a column of the row matrix or of the plan's output as it stands.
        direct = _direct_columns(self._fs, self._plan)
        from_rows, j = direct[renamed] if renamed in direct else direct[column]
        matrix = self._rows if from_rows else self._out
        assert matrix is not None  # a result without its row holds the matrices it was solved from
        return float(matrix[0, j])

    def _stream_name(self, name: str) -> str:
        if name in self._plan.streams:
            return name
        products = self._fs.products
        if name in products:
            return products[name]
        node = self._fs._nodes.get(name)
        if node is not None and len(node.outlets) == 1:
            return self._fs._label((name, node.outlets[0]))
        raise FlowsheetError(f"unknown stream {name!r}; choose from: {_choices([*self._plan.streams, *products])}")

    def stream(self, name: str) -> dict[str, float]:
        """A stream's quantities (flow m³/s, temperature_c °C, pressure_bar bar, components g/m³).

        ``name``: ``"unit.port"``, a feed, a product, or a node with one outlet.

        Parameters
        ----------
        name : str
            A stream of :meth:`Flowsheet.streams`, a product's name, or a
            node with one outlet.

        Returns
        -------
        dict
            ``flow`` (m³/s), ``temperature_c`` (°C), ``pressure_bar`` (bar)
            and each component (g/m³).

        Raises
        ------
        FlowsheetError
            For an unknown stream (the message lists the streams and products).

        Examples
        --------
        With ``fs``, the seawater example plant, and ``res = fs.solve()``:

        >>> water = res.stream("water")                              # the product ro.permeate
        >>> round(water["flow"], 7), round(water["salt"], 2)          # m³/s, g/m³
        (0.0004439, 134.88)
        """
        self._current()
        label = self._stream_name(name)
        return {q: self._value(f"{label}.{q}") for q in (*STREAM_QUANTITIES, *self._fs.components)}

    def table(self, units: str = "si") -> Any:
        """Streams × quantities with units: a pandas DataFrame, or a dict stream -> {column: value}.

        ``units="engineering"`` gives the same table in display units (m³/h, bar, °C, mg/L; m³/d
        for plants from 1000 m³/h), exact conversions of the same values.

        Returns
        -------
        pandas.DataFrame or dict
            One row per stream (in :meth:`Flowsheet.streams` order), one
            column per quantity headed with its unit: ``"flow (m³/s)"``,
            ``"temperature_c (°C)"``, ``"pressure_bar (bar)"`` and
            ``"<component> (g/m³)"``. Without pandas, a dict stream ->
            {header: value}.

        Examples
        --------
        With ``fs``, the seawater example plant, and ``res = fs.solve()``:

        >>> t = res.table()
        >>> list(t.columns)
        ['flow (m³/s)', 'temperature_c (°C)', 'pressure_bar (bar)', 'salt (g/m³)']
        >>> round(t.loc["ro.concentrate", "salt (g/m³)"])              # g/m³
        62834
        """
        quantities = (*STREAM_QUANTITIES, *self._fs.components)
        headers = [f"{q} ({STREAM_UNITS[q] if q in STREAM_UNITS else STREAM_UNITS['component']})" for q in quantities]
        data = {s: dict(zip(headers, self.stream(s).values())) for s in self._plan.streams}
        if units != "si":
            from .views import engineering_table

            headers, data = engineering_table(self, quantities, units)
        try:
            import pandas
        except ImportError:
            return data
        return pandas.DataFrame.from_dict(data, orient="index", columns=headers)


# The result's values built on first use.
_LAZY: dict[str, Callable[[Result[Any]], object]] = {
    "row": Result._row,
    "flagged": lambda res: int(res._columns(["flagged"])["flagged"]),
    "kpis": Result._kpis,
    "power": Result._power,
    "checks": lambda res: findings(res._fs, res._plan, res.row),
    "valid": lambda res: not any(f.severity == "error" for f in res.checks),
}


def _direct_columns(fs: SolvedPlant, plan: Plan) -> dict[str, tuple[bool, int]]:
    """Table column -> (from the row matrix, column) of the columns read straight from the matrices, once
    per plan."""
    found: dict[str, tuple[bool, int]] | None = plan.memo.get("table_direct")
    if found is None:
        found = {name: (from_rows, j) for name, from_rows, j in table_layout(fs, plan)[0]}
        plan.memo["table_direct"] = found
    return found


def solve(fs: P, values: Mapping[str, object]) -> Result[P]:
    # One plan whatever the order of the keywords: the names are taken sorted (the plan's result
    # does not depend on the order of its row variables).
    names = tuple(sorted(values))
    for name in names:
        if len(name) > 1000:
            raise FlowsheetError(f"unknown variable {_short(name)}: names are 'unit.slot' or 'feed.quantity'")
    checked = [_number(values[name], f"value of {name}") for name in names]
    plan = fs.plan(names)
    matrix = np.array([checked], dtype=np.float64).reshape(1, len(names))
    check_rows(fs, plan, matrix)
    # Only the plan's row is computed here; the result builds its table columns when they are read.
    return fs.result_type._lazy(fs, plan, matrix, plan.run(matrix, 1), tuple(values))
