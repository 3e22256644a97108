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
from collections.abc import Callable, Hashable, Iterable, Mapping, Sequence
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


class Result(_results.Result["Flowsheet"]):
    __doc__ = _results.Result.__doc__

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

    if TYPE_CHECKING:  # a solve of this flowsheet gives this module's Result
        def solve(self, **values: float) -> Result: ...
        def row_solver(self, names: Sequence[str], extra: Callable[[dict[str, Any]], Mapping[str, Any]] | None = None,
                       key: Hashable = None,
                       lenient: bool = False) -> Callable[[Sequence[float]], tuple[Result, dict[str, float]]]: ...

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
