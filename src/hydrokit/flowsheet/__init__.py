"""Flowsheets: model units connected by streams into a plant, solved in C++.

The seawater example plant (``examples/seawater_ro.toml``): a pump, a
segmented RO vessel and an energy-recovery device on its brine.

>>> import hydrokit
>>> fs = hydrokit.Flowsheet(components=["salt"])
>>> fs.feed("sea", flow=1e-3, temperature_c=25, pressure_bar=1, salt=35000, water="seawater")
>>> fs.unit("hp", "pump", pressure_rise_bar=59, pump_efficiency=0.8)
>>> fs.unit("ro", "osmoaxial", membrane_area=110, permeability=3.3333e-12, salt_permeability=1e-8,
...         mass_transfer_coeff=4e-5, segment_count=20, channel_pressure_drop_bar=1.5)
>>> fs.unit("erd", "recoupsimple", recovery_efficiency=0.95)
>>> fs.connect("sea", "hp.inlet"); fs.connect("hp.outlet", "ro.feed"); fs.connect("ro.concentrate", "erd.inlet")
>>> fs.product("water", "ro.permeate")
>>> res = fs.solve()
>>> res.converged, res.flagged, res.valid
(True, 0, True)

The examples in the flowsheet's docstrings use this ``fs`` and ``res``
(``fs = hydrokit.flowsheet.load_plant("examples/seawater_ro.toml")``).

A flowsheet compiles to a plan (see :mod:`hydrokit.flowsheet.plan`) that the
batch extension executes; ``solve`` is that plan on one row, ``sweep`` and
``evaluate`` on many.

The ``Flowsheet`` and ``Result`` here are those of :mod:`hydrokit.flowsheet.build`
and :mod:`hydrokit.flowsheet.results` with the economics added (``fs.optimize``,
``res.costs``): the modules inside this package never reach the costing or the
optimiser, which build on them.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, cast

from ..ports import FlowsheetError
from . import build as _build
from . import plantfile as _plantfile
from . import results as _results
from .nodes import MAX_VESSELS, finite_number

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import ArrayLike, NDArray

    from ..checks import Finding
    from ..costing import CostParameters, Costs
    from ..optimize import OptimizeResult

__all__ = ["Flowsheet", "FlowsheetError", "MAX_VESSELS", "finite_number", "load_plant"]


class Result(_results.Result):
    __doc__ = _results.Result.__doc__

    if TYPE_CHECKING:  # what the inherited values and methods are, for type checkers
        flowsheet: Flowsheet
        row: dict[str, float]
        converged: bool
        iterations: int
        residual: float
        flagged: int
        kpis: dict[str, float]
        power: dict[str, float]
        checks: list[Finding]
        valid: bool

        def outputs(self, unit: str) -> dict[str, float]: ...
        def elements(self, array: str) -> list[dict[str, float]]: ...
        def stream(self, name: str) -> dict[str, float]: ...
        # A pandas DataFrame (with pandas installed) or a dict stream -> {column: value};
        # units: "si" (the models' units) or "engineering".
        def table(self, units: str = "si") -> Any: ...

    def costs(self, params: CostParameters | None = None) -> Costs:
        """Capital, operating cost, LCOW and SEC of this point (see hydrokit.costing).

        Parameters
        ----------
        params : hydrokit.costing.CostParameters, optional
            Prices and financial figures (default: those of
            :class:`hydrokit.costing.CostParameters`).

        Returns
        -------
        hydrokit.costing.Costs
            ``capital`` (unit -> $), ``capital_total`` ($), ``operating``
            (line -> $/year), ``operating_total`` ($/year), ``lcow`` ($/m³),
            ``sec`` (kWh/m³) and the rest of the breakdown.

        Examples
        --------
        With ``fs``, the seawater example plant, and ``res = fs.solve()``:

        >>> c = res.costs()
        >>> sorted(c.capital), c.lcow > 0                             # $/m³
        (['erd', 'hp', 'ro'], True)
        """
        from ..costing import costs

        self._current()
        if params is not None:
            return costs(self, params)
        found: Costs | None = self.__dict__.get("_costs")
        if found is None:
            found = self._costs = costs(self, None)
        return found


class Flowsheet(_build.Flowsheet):
    __doc__ = _build.Flowsheet.__doc__

    result_type = Result

    if TYPE_CHECKING:  # what the inherited methods take and give, for type checkers
        @property
        def components(self) -> tuple[str, ...]: ...
        @property
        def kinds(self) -> Mapping[str, str]: ...
        @property
        def ambient_pressure_bar(self) -> float: ...
        tolerance: float
        max_iterations: int

        def __init__(self, components: str | Iterable[str] | Mapping[str, str] = (), *, tolerance: float = 1e-10,
                     max_iterations: int = 200, ambient_pressure_bar: float = 1.0) -> None: ...
        def feed(self, name: str, *, utility: bool = False, water: str | None = None, **values: float) -> None: ...
        def water_class(self, feed: str) -> str: ...
        def water_classes(self) -> dict[str, tuple[str, bool]]: ...
        def check_limit(self, unit: str, check: str, limit: float | str | None) -> None: ...
        def unit(self, name: str, model: str, *, components: dict[str, str] | None = None,
                 **settings: float) -> None: ...
        # element_pressure_drop_bar: float; components: dict slot -> component or None; datasheet:
        # a mapping of figures or None; fouling_factor, design_temperature_c: float or None. Typed
        # loosely so that per-stage slots can be passed as **{"stage2.slot": value}.
        def array(self, name: str, model: str, *, stages: Sequence[tuple[int, int]], element_area: float,
                  element_pressure_drop_bar: Any = 0.2, components: Any = None, datasheet: Any = None,
                  fouling_factor: Any = None, design_temperature_c: Any = None, **element_slots: float) -> None: ...
        def mixer(self, name: str, inlets: int = 2) -> None: ...
        def splitter(self, name: str, fractions: Sequence[float]) -> None: ...
        def heater(self, name: str, *, outlet_temperature_c: float | None = None,
                   duty_kw: float | None = None) -> None: ...
        def cooler(self, name: str, *, outlet_temperature_c: float | None = None,
                   duty_kw: float | None = None) -> None: ...
        @property
        def thermal(self) -> dict[str, Any]: ...
        def connect(self, source: str, target: str) -> None: ...
        def product(self, name: str, source: str) -> None: ...
        def tear(self, stream: str, **start: float) -> None: ...
        @property
        def units(self) -> dict[str, Any]: ...
        @property
        def arrays(self) -> dict[str, Any]: ...
        @property
        def feeds(self) -> dict[str, Any]: ...
        @property
        def connections(self) -> dict[tuple[str, str], tuple[str, str]]: ...
        @property
        def products(self) -> dict[str, str]: ...
        def streams(self) -> list[str]: ...
        def diagram(self, result: Result | None = None) -> str: ...
        def plan(self, names: Iterable[str] = ()) -> Any: ...
        def solve(self, **values: float) -> Result: ...
        # A pandas DataFrame (with pandas installed) or a dict of NumPy columns. rows: a mapping
        # name -> column or None; threads, chunk_rows: int or None. Typed loosely so that axes
        # can be passed as **{"unit.slot": values}, as their names hold a dot. columns: a name or
        # pattern ("kpi.*") or several; progress: bool or None (shown when interactive).
        def sweep(self, rows: Any = None, *, threads: Any = None, client: Any = None, chunk_rows: Any = None,
                  columns: Any = None, progress: Any = None, **axes: ArrayLike) -> Any: ...
        def evaluate(self, names: Sequence[str], matrix: ArrayLike, *, threads: int | None = None,
                     client: Any = None, chunk_rows: int | None = None,
                     columns: Iterable[str] | None = None) -> dict[str, NDArray[np.float64]]: ...
        # The evaluation interface of a search (hydrokit.optimize).
        def evaluator(self, names: Sequence[str], *, threads: int | None = None, client: Any = None,
                      chunk_rows: int | None = None, columns: Iterable[str] | None = None, lenient: bool = False,
                      progress: bool = False) -> Callable[[ArrayLike], dict[str, NDArray[np.float64]]]: ...
        def compiled_evaluator(self, names: Sequence[str], derive: Callable[[Any], Any], *, key: Any = None,
                               threads: int | None = None, client: Any = None, chunk_rows: int | None = None,
                               lenient: bool = False) -> Any: ...
        def row_solver(self, names: Sequence[str], extra: Callable[[Any], Mapping[str, Any]] | None = None,
                       key: Any = None,
                       lenient: bool = False) -> Callable[[Sequence[float]], tuple[Result, dict[str, float]]]: ...
        def table_columns(self, names: str | Sequence[str]) -> frozenset[str]: ...

    def optimize(self, objective: str | Callable[[Mapping[str, NDArray[np.float64]]], ArrayLike] = "lcow",
                 vary: Mapping[str, tuple[float, float]] | None = None, constraints: Iterable[Any] = (),
                 **options: Any) -> OptimizeResult:
        """The optimum of the design over the varied slots (see hydrokit.optimize).

        Parameters
        ----------
        objective : str or callable, optional
            ``"lcow"`` ($/m³, default), ``"sec"`` (kWh/m³), any column of the
            result table, or a function of the table giving one value per row.
        vary : mapping, optional
            Name -> (low, high), names as for :meth:`solve`.
        constraints : iterable, optional
            ``"kpi.recovery>=0.5"`` or ``("ro.permeate_salinity", "<=", 0.5)``
            on any column.
        **options
            Passed to :func:`hydrokit.optimize.optimize` (``seed``,
            ``threads``, ``client``, ``params``, ``maximize``, ``fixed``, ...).

        Returns
        -------
        hydrokit.optimize.OptimizeResult
            ``.x`` (name -> value at the optimum), ``.objective``,
            ``.feasible``, ``.row`` and ``.result`` (the :class:`Result` there).

        Raises
        ------
        hydrokit.optimize.OptimizeError
            A :class:`ValueError`, for a mistake in the request.

        Examples
        --------
        With ``fs``, the seawater example plant:

        >>> best = fs.optimize("sec", {"hp.pressure_rise_bar": (40, 70)}, ["kpi.recovery>=0.4"], maxiter=10,
        ...                    checks="warnings")     # energy recovery: the recovery floor binds
        >>> best.feasible, best.checks, 55 < best.x["hp.pressure_rise_bar"] < 56, round(best.result.kpis["recovery"], 3)
        (True, [], True, 0.4)
        """
        from ..optimize import optimize

        return optimize(self, objective, vary, constraints, **options)


# A plant file builds this class, so a loaded plant has the economics too.
_plantfile.FLOWSHEET = Flowsheet


def load_plant(path: str | os.PathLike[str]) -> Flowsheet:
    """A flowsheet from a plant file (see :mod:`hydrokit.flowsheet.plantfile`).

    Parameters
    ----------
    path : str or os.PathLike
        A TOML plant file: components, feeds, units, mixers, splitters,
        connections, products and tears (flows in m³/s, temperatures in °C,
        pressures in bar, components in g/m³).

    Returns
    -------
    Flowsheet
        Ready to solve, sweep or optimise.

    Raises
    ------
    hydrokit.flowsheet.plantfile.PlantFileError
        A :class:`ValueError`, one line naming the file and the entry, for
        a file that cannot be read, is not TOML, or has a mistake.

    Examples
    --------
    >>> import pathlib, tempfile
    >>> from hydrokit.flowsheet import load_plant
    >>> path = pathlib.Path(tempfile.mkdtemp()) / "plant.toml"
    >>> _ = path.write_text('''connect = ["w -> hp"]
    ... [feeds.w]
    ... flow = 1e-3            # m³/s
    ... [units.hp]
    ... model = "pump"
    ... pressure_rise_bar = 5  # bar
    ... [products]
    ... out = "hp"
    ... ''', encoding="utf-8")
    >>> res = load_plant(path).solve()
    >>> res.stream("out")["pressure_bar"]                          # bar
    6.0
    """
    load = cast("Callable[[str | os.PathLike[str]], Flowsheet]", _plantfile.load)
    return load(path)
