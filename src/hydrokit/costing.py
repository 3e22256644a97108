"""Plant economics: capital and operating cost, levelised cost of water, specific energy.

Every cost is a NumPy function of the columns of a flowsheet's result table
(``fs.sweep``/``fs.evaluate``), so one call costs a whole sweep and the
optimiser costs a generation in a handful of array operations.

Capital (installed, $) per unit, by the unit's cost class (see ``MODEL_CLASSES``):

* ``ro``, ``nf``, ``md``: membrane area × price per m², times the total
  installed cost factor;
* ``uf``, ``mf``, ``mbr``: capacity law A·(Q/Qb)^B on the unit's inlet flow in
  m³/h, USD 2014 escalated to USD 2018 by ``capacity_cost_escalation``;
* ``pump``: high-pressure when the pressure rise the plant is built with
  exceeds ``high_pressure_threshold_bar`` (1.908 $ per W of shaft power),
  otherwise low-pressure (889 $ per L/s of flow), the same in every row of a
  sweep; ``high_pressure_pump`` and ``low_pressure_pump`` declare the choice;
* ``erd``: 535 $ per m³/h of inlet flow;
* ``none``: not costed;
* membrane arrays: their elements by area at the membrane price plus
  ``pressure_vessel_cost`` per vessel, times the total installed cost factor;
  each interstage booster as a pump (its class from its design boost, shaft
  power taken as its power Q·Δp/η);
* heaters and coolers: a plate-and-frame exchanger, purchase cost
  a + b·A^n (USD 2010) on the area A = duty / (U·ΔT), escalated to USD 2018
  and times the total installed cost factor.

Annual operating cost ($/year): electricity (net electric power × hours in
service × price), heat bought and heat removed (``kpi.heat_kw`` and
``kpi.cooling_kw`` × hours in service × their prices), membrane replacement (a fraction of the membrane purchase
cost of the area-priced units) and maintenance, labour and chemicals (a
fraction of the total capital).

LCOW = (CRF · total capital + annual operating cost) / (utilisation · annual
product volume), CRF = w(1+w)^L / ((1+w)^L − 1).
"""

from __future__ import annotations

import dataclasses
import importlib
import math
from dataclasses import dataclass, field
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, ClassVar, Protocol

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .batch.program import column as _column
from .costbase import AREA_PRICED, HOURS_PER_YEAR
from .costbase import membrane_area as _membrane_area
from .costbase import output_column as _output
from .layout import models as _models
from .present.units import human

if TYPE_CHECKING:
    from .layout import Layout

# A result table: column name -> values, one per row; a cost column is float64, one value per row.
Table = Mapping[str, ArrayLike]
Column = NDArray[np.float64]

__all__ = ["CostParameters", "Costs", "CostModel", "crf", "cost_columns", "costs", "MODEL_CLASSES", "CLASSES",
           "LINES"]


# Cost class of every model, by model name, as its slot table gives it
# (COST_CLASS). A unit's class can be overridden with
# CostParameters(unit_classes={"unit": "class"}).
MODEL_CLASSES: dict[str, str] = {name: importlib.import_module(f"hydrokit.tables.{name}").COST_CLASS
                                  for name in _models()}
CLASSES = ("ro", "nf", "md", "uf", "mf", "mbr", "pump", "high_pressure_pump", "low_pressure_pump", "erd", "none")
CAPACITY_PRICED = ("uf", "mf", "mbr")

# The cost lines of the table, with their units.
LINES = {
    "cost.capital_total": "$",
    "cost.membrane_capital": "$",
    "cost.electricity": "$/year",
    "cost.heat": "$/year",
    "cost.cooling": "$/year",
    "cost.membrane_replacement": "$/year",
    "cost.maintenance": "$/year",
    "cost.operating_total": "$/year",
    "cost.annual_product": "m³/year",
    "cost.lcow": "$/m³",
    "cost.sec": "kWh/m³",
}


def _p(default: float, unit: str, doc: str) -> float:
    return field(default=default, metadata={"unit": unit, "doc": doc})


@dataclass(frozen=True)
class CostParameters:
    """Prices and financial assumptions (USD 2018 unless stated). Every field can be overridden.

    Parameters
    ----------
    electricity_price : float
        Electricity price, $/kWh (default 0.07).
    utilisation : float
        Fraction of the year the plant produces, in (0, 1]; it also scales the energy bought
        (default 0.9).
    wacc : float
        Weighted average cost of capital w, 1/year (default 0.0930734).
    plant_lifetime : float
        Plant lifetime L, years, > 0 (default 30; with ``wacc`` a CRF of 0.100 per year).
    total_installed_cost_factor : float
        Factor on the membrane capital of the area-priced units (default 2.0).
    maintenance_fraction : float
        Maintenance, labour and chemicals, fraction of the total capital per year (default 0.03).
    membrane_replacement_fraction : float
        Membrane replacement, fraction of the membrane purchase cost per year (default 0.2).
    ro_membrane_cost, nf_membrane_cost, md_membrane_cost : float
        Membrane prices, $/m² (defaults 30, 15, 56).
    high_pressure_pump_cost : float
        $ per W of shaft (mechanical) power (default 1.908).
    low_pressure_pump_cost : float
        $ per L/s of flow (default 889).
    high_pressure_threshold_bar : float
        A pump whose pressure rise exceeds this is high-pressure, bar (default 45).
    erd_cost : float
        Pressure energy-recovery device, $ per m³/h of inlet flow (default 535).
    uf_capacity_cost, uf_base_flow, uf_exponent : float
        Ultrafiltration capacity law A·(Q/Qb)^B: A in $ (USD 2014, default 15.0e6), Qb in m³/h
        (default 4731.764235), B (default 1.0).
    mf_capacity_cost, mf_base_flow, mf_exponent : float
        Microfiltration: A = 2.5e6 $ (USD 2014), Qb = 157.725491 m³/h (1 million US gallons a
        day), B = 1.0.
    mbr_capacity_cost, mbr_base_flow, mbr_exponent : float
        Membrane bioreactor: A = 5.5e6 $ (USD 2014), Qb = 4731.764235 m³/h, B = 0.5862.
    capacity_cost_escalation : float
        USD 2014 -> USD 2018 factor on the capacity costs (default 603.1 / 576.1).
    unit_classes : dict
        Cost class per unit name, overriding its model's (one of ``CLASSES``; default none).

    Raises
    ------
    ValueError
        A field that is not a finite number >= 0, a utilisation outside (0, 1], a lifetime
        that is not positive, or an unknown cost class.

    Examples
    --------
    >>> p = CostParameters(electricity_price=0.14)        # $/kWh
    >>> round(p.crf, 4)                                    # 1/year
    0.1
    >>> CostParameters(unit_classes={"hp": "low_pressure_pump"}).unit_classes
    {'hp': 'low_pressure_pump'}
    """

    electricity_price: float = _p(0.07, "$/kWh", "Electricity price")
    utilisation: float = _p(0.9, "fraction",
                            "Fraction of the year the plant produces (also scales the energy bought)")
    wacc: float = _p(0.0930734, "1/year", "Weighted average cost of capital w")
    plant_lifetime: float = _p(30.0, "years", "Plant lifetime L")
    total_installed_cost_factor: float = _p(2.0, "factor",
                                            "Total installed cost factor on membrane capital (area-priced units) "
                                            "and on heat exchangers")
    maintenance_fraction: float = _p(0.03, "fraction of total capital per year", "Maintenance, labour and chemicals")
    membrane_replacement_fraction: float = _p(0.2, "fraction of membrane purchase cost per year",
                                              "Membrane replacement")
    ro_membrane_cost: float = _p(30.0, "$/m²", "Reverse-osmosis membrane")
    nf_membrane_cost: float = _p(15.0, "$/m²", "Nanofiltration membrane")
    md_membrane_cost: float = _p(56.0, "$/m²", "Membrane-distillation membrane")
    high_pressure_pump_cost: float = _p(1.908, "$ per W of shaft (mechanical) power", "High-pressure pump")
    low_pressure_pump_cost: float = _p(889.0, "$ per L/s of flow", "Low-pressure pump")
    high_pressure_threshold_bar: float = _p(45.0, "bar", "A pump whose pressure rise exceeds this is high-pressure")
    erd_cost: float = _p(535.0, "$ per m³/h of inlet flow", "Pressure energy-recovery device")
    uf_capacity_cost: float = _p(15.0e6, "$ (USD 2014)", "Ultrafiltration capacity cost A")
    uf_base_flow: float = _p(4731.764235, "m³/h", "Ultrafiltration base flow Qb")
    uf_exponent: float = _p(1.0, "—", "Ultrafiltration capacity exponent B")
    mf_capacity_cost: float = _p(2.5e6, "$ (USD 2014)", "Microfiltration capacity cost A")
    mf_base_flow: float = _p(157.725491, "m³/h", "Microfiltration base flow Qb (1 million US gallons a day)")
    mf_exponent: float = _p(1.0, "—", "Microfiltration capacity exponent B")
    mbr_capacity_cost: float = _p(5.5e6, "$ (USD 2014)", "Membrane bioreactor capacity cost A")
    mbr_base_flow: float = _p(4731.764235, "m³/h", "Membrane bioreactor base flow Qb")
    mbr_exponent: float = _p(0.5862, "—", "Membrane bioreactor capacity exponent B")
    capacity_cost_escalation: float = _p(
        603.1 / 576.1, "factor",
        "USD 2014 → USD 2018 for the capacity costs: plant cost index 603.1 (2018) / 576.1 (2014)")
    heat_price: float = _p(0.015, "$/kWh of heat", "Heat bought from outside the plant (low-grade heat)")
    cooling_price: float = _p(0.0013, "$/kWh of heat removed",
                              "Cooling (cooling-tower water, about 0.35 $ per GJ removed)")
    heat_exchanger_cost_a: float = _p(1600.0, "$ (USD 2010)",
                                      "Heater or cooler purchase cost a of a + b·A^n (plate and frame exchanger)")
    heat_exchanger_cost_b: float = _p(210.0, "$ (USD 2010) per m²^n", "Heater or cooler purchase cost b")
    heat_exchanger_exponent: float = _p(0.95, "—", "Heater or cooler purchase cost exponent n")
    heat_exchanger_u: float = _p(2000.0, "W/(m²·K)", "Overall heat-transfer coefficient U of a heater or cooler")
    heat_exchanger_dt: float = _p(10.0, "K", "Mean temperature difference ΔT across a heater or cooler")
    heat_exchanger_escalation: float = _p(
        603.1 / 532.9, "factor",
        "USD 2010 → USD 2018 for the heat exchangers: plant cost index 603.1 (2018) / 532.9 (January 2010)")
    #: Cost class per unit name, overriding the class of its model (see CLASSES).
    unit_classes: dict[str, str] = field(default_factory=dict)
    pressure_vessel_cost: float = _p(1500.0, "$ per vessel",
                                     "Pressure vessel of a membrane array (an 8-inch vessel for 6-8 elements), "
                                     "installed with the total installed cost factor")

    def __post_init__(self) -> None:
        for f in dataclasses.fields(self):
            if f.name == "unit_classes":
                continue
            value = getattr(self, f.name)
            if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value) \
                    or value < 0:
                raise ValueError(f"cost parameter {f.name} must be a finite number >= 0, got {value!r}")
        if not 0 < self.utilisation <= 1:
            raise ValueError(f"cost parameter utilisation must be in (0, 1], got {self.utilisation!r}")
        if self.heat_exchanger_u <= 0 or self.heat_exchanger_dt <= 0:
            raise ValueError("cost parameters heat_exchanger_u and heat_exchanger_dt must be > 0")
        if self.plant_lifetime <= 0:
            raise ValueError(f"cost parameter plant_lifetime must be > 0 years, got {self.plant_lifetime!r}")
        try:
            crf(self.wacc, self.plant_lifetime)
        except ValueError as exc:  # a lifetime so short that no annual payment is finite
            raise ValueError(f"cost parameters wacc and plant_lifetime: {exc}") from None
        if not isinstance(self.unit_classes, dict):
            raise ValueError(f"cost parameter unit_classes must be a dict unit -> cost class, "
                             f"got {type(self.unit_classes).__name__}")
        for unit, cls in self.unit_classes.items():
            if not isinstance(cls, str) or cls not in CLASSES:
                raise ValueError(f"cost class {cls!r} of unit {unit!r} is unknown; choose from: {', '.join(CLASSES)}")

    @property
    def crf(self) -> float:
        """Capital recovery factor, 1/year."""
        return crf(self.wacc, self.plant_lifetime)

    def replace(self, **changes: Any) -> CostParameters:
        """A copy with some fields changed."""
        return dataclasses.replace(self, **changes)

    def key(self) -> tuple[tuple[str, object], ...]:
        """A hashable snapshot of every field, exact to the bit (equal keys: the same prices)."""
        return tuple((f.name, tuple(sorted(self.unit_classes.items())) if f.name == "unit_classes"
                      else float(getattr(self, f.name)).hex()) for f in dataclasses.fields(self))


def crf(rate: float, years: float) -> float:
    """Capital recovery factor w(1+w)^L / ((1+w)^L − 1).

    Parameters
    ----------
    rate : float
        Weighted average cost of capital w, 1/year.
    years : float
        Plant lifetime L, years (> 0).

    Returns
    -------
    float
        The share of the capital paid back each year, 1/year; 1/L at w = 0.

    Raises
    ------
    ValueError
        For a rate that is not a finite number above -1, a lifetime that is not a finite
        positive number, or a pair whose factor is not a finite number (a lifetime so short
        that the whole capital is due at once).

    Notes
    -----
    Written as w / (1 − (1+w)^−L) with (1+w)^−L = exp(−L·log1p(w)), the denominator by
    ``expm1``: accurate to a few units in the last place for rates down to the smallest
    doubles (where it tends to 1/L) and without overflow for large rates or lifetimes
    (where it tends to w).

    Examples
    --------
    >>> round(crf(0.0930734, 30), 4)    # 1/year
    0.1
    >>> crf(0.0, 20)
    0.05
    >>> round(crf(1e-15, 30) * 30, 12)  # tends to 1/L as w -> 0
    1.0
    """
    for value, what in ((rate, "rate"), (years, "lifetime")):
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise ValueError(f"crf: the {what} must be a number, got {value!r}")
    try:
        rate, years = float(rate), float(years)
    except OverflowError:
        raise ValueError("crf: the rate and the lifetime must be finite numbers") from None
    if not (math.isfinite(rate) and rate > -1.0):
        raise ValueError(f"crf: the rate must be a finite number above -1 per year, got {rate!r}")
    if not (math.isfinite(years) and years > 0.0):
        raise ValueError(f"crf: the lifetime must be a finite number of years > 0, got {years!r}")
    if rate == 0:
        return 1.0 / years
    paid = -math.expm1(-years * math.log1p(rate))  # 1 - (1+w)^-L
    factor = rate / paid if paid != 0.0 else math.inf
    if not math.isfinite(factor):
        raise ValueError(f"crf: no finite capital recovery factor for a rate of {rate!r} over {years!r} years")
    return factor


def parameter_table() -> list[tuple[str, Any, str, str]]:
    """(name, default, unit, meaning) of every price and assumption, in field order."""
    return [(f.name, f.default, f.metadata["unit"], f.metadata["doc"])
            for f in dataclasses.fields(CostParameters) if "unit" in f.metadata]


# ----------------------------------------------------------------------------
# Reading a flowsheet


class Plant(Protocol):
    """What costing reads of a flowsheet: its units (each with its model and fixed vectors) and the
    streams that connect them; its arrays and heaters where it has them."""

    @property
    def units(self) -> Mapping[str, Any]: ...

    @property
    def connections(self) -> Mapping[tuple[str, str], tuple[str, str]]: ...


class Solved(Protocol):
    """What costing reads of a solved point: its flowsheet and its row of the result table."""

    @property
    def flowsheet(self) -> Plant: ...

    @property
    def row(self) -> Mapping[str, float]: ...


class PlantView:
    """What costing reads from a flowsheet: its units, their models and slot values, their inlet streams.

    ``units``: name -> model; ``vectors``: name -> (input vector, parameter
    vector) as the unit runs before any varied slot is applied (its model
    defaults with the fixed settings); ``inlets``: name -> {port: column
    prefix of the stream entering it, e.g. "hp.outlet" or a feed's name};
    ``thermal``: heater or cooler name -> "heater" or "cooler".
    """

    def __init__(self, units: Mapping[str, str], vectors: Mapping[str, tuple[Column, Column]],
                 inlets: Mapping[str, Mapping[str, str]], thermal: Mapping[str, str] | None = None) -> None:
        from .layout import layout

        self.units = dict(units)
        self.thermal = dict(thermal or {})
        self.layouts = {name: layout(model) for name, model in self.units.items()}
        self.vectors: dict[str, tuple[Column, Column]] = {}
        for name, lay in self.layouts.items():
            u, p = vectors.get(name) or (lay.module.default_input(), lay.module.default_params())
            self.vectors[name] = (u, p)
        self.inlets = {name: dict(inlets.get(name, {})) for name in self.units}
        # (unit, slot) -> (column names it may be varied as, fixed value)
        self._slots: dict[tuple[str, str], tuple[tuple[str, ...], float]] = {}

    @classmethod
    def of(cls, fs: Plant | PlantView) -> PlantView:
        """The view of a hydrokit.Flowsheet (or an object that already is a view)."""
        if isinstance(fs, PlantView):
            return fs
        return _view_of_flowsheet(fs)

    def slot(self, table: Table, unit: str, slot: str) -> Column | float:
        """A slot's value as the plant ran: the varied column if varied, else the fixed or default value."""
        found = self._slots.get((unit, slot))
        if found is None:
            lay = self.layouts[unit]
            vector, index = lay.resolve(slot)
            bare = (lay.inputs if vector == "u" else lay.params)[index].name
            u, p = self.vectors[unit]
            found = self._slots[(unit, slot)] = (
                (f"{unit}.{slot}", f"{unit}.{bare}", f"{unit}.{vector}.{bare}"),
                float((u if vector == "u" else p)[index]))
        keys, value = found
        for key in keys:
            if key in table:
                found_column: Column = _column(table[key])
                return found_column
        return value

    def inlet(self, table: Table, unit: str, quantity: str) -> Column:
        """A quantity of the stream entering ``unit`` (flows summed over its inlets)."""
        ports = self.inlets[unit]
        if not ports:
            raise KeyError(f"unit {unit!r} has no connected inlet")
        columns: list[Column] = [_column(table[f"{source}.{quantity}"]) for source in ports.values()]
        if quantity == "flow":
            return sum(columns[1:], columns[0])
        return columns[0]


def _view_of_flowsheet(fs: Plant) -> PlantView:
    units: dict[str, str] = {}
    vectors: dict[str, tuple[Column, Column]] = {}
    inlets: dict[str, dict[str, str]] = {}
    for name, unit in fs.units.items():
        units[name] = unit.model
        if hasattr(unit, "u0") and hasattr(unit, "p0"):
            vectors[name] = (unit.u0, unit.p0)
        inlets[name] = {}
    for (target, port), source in _connections(fs).items():
        if target in inlets:
            inlets[target][port] = source
    thermal = {name: node.kind for name, node in getattr(fs, "thermal", {}).items()}
    return PlantView(units, vectors, inlets, thermal)


def _connections(fs: Plant) -> dict[tuple[str, str], str]:
    """(unit, inlet port) -> column prefix of the stream feeding it ("unit.port", or a feed's name)."""
    links = getattr(fs, "connections", None)
    if links is None:
        raise TypeError(f"costing needs a hydrokit.Flowsheet, not {type(fs).__name__}")
    links = links() if callable(links) else links
    return {target: (f"{name}.{port}" if port else name) for target, (name, port) in links.items()}


# ----------------------------------------------------------------------------
# The cost model


def _class_of(view: PlantView, params: CostParameters, unit: str) -> str:
    if unit in params.unit_classes:
        return params.unit_classes[unit]
    return MODEL_CLASSES.get(view.units[unit], "none")


def _has_area(lay: Layout) -> bool:
    from .layout import LayoutError

    try:
        lay.resolve("membrane_area")
        return True
    except LayoutError:
        return any(s.name == "membrane_area" for s in lay.output_slots_default)


def _motor_efficiency(view: PlantView, table: Table, unit: str) -> Column:
    # As the pump core clamps it: below 1e-6 (or not finite) 1e-6, above 1 one.
    eta = _column(view.slot(table, unit, "motor_efficiency"))
    return np.where(np.isfinite(eta), np.clip(eta, 1e-6, 1.0), 1e-6)


class CostModel:
    """The cost lines of one flowsheet under one set of prices, ready to apply to result tables.

    Built once per flowsheet and prices (the unit classes are checked here), then applied to any
    number of tables of that flowsheet: one call costs a whole sweep in array operations.

    Parameters
    ----------
    fs : hydrokit.Flowsheet
        The flowsheet whose tables are costed (its units, their models and fixed slots, and which
        stream feeds each inlet are read).
    params : CostParameters, optional
        Prices and assumptions; the defaults when None.

    Attributes
    ----------
    params : CostParameters
        The prices used.
    classes : dict
        Unit name -> cost class.
    crf : float
        Capital recovery factor, 1/year.

    Raises
    ------
    TypeError
        ``params`` is not a CostParameters, or ``fs`` is not a flowsheet.
    ValueError
        ``unit_classes`` names an unknown unit, or gives a unit a class its model cannot have
        (a pump class to a non-pump, ``erd`` to a unit that is not recoupsimple, an area-priced
        class to a unit without a membrane area).

    Examples
    --------
    >>> fs = hydrokit.flowsheet.load_plant("examples/seawater_ro.toml")
    >>> model = CostModel(fs)
    >>> table = fs.evaluate(["hp.pressure_rise_bar"], [[50.0], [60.0]])
    >>> model.columns(table)["cost.lcow"]                  # $/m³
    array([0.25087089, 0.29339191])
    """

    def __init__(self, fs: Plant | PlantView, params: CostParameters | None = None) -> None:
        self.params = CostParameters() if params is None else params
        if not isinstance(self.params, CostParameters):
            raise TypeError(f"params must be CostParameters, not {type(self.params).__name__}")
        self.view = PlantView.of(fs)
        unknown = sorted(set(self.params.unit_classes) - set(self.view.units) - set(getattr(fs, "arrays", {})))
        if unknown:
            raise ValueError(f"unit_classes names unknown unit {unknown[0]!r}; units: {', '.join(self.view.units)}")
        self.classes = {unit: _class_of(self.view, self.params, unit) for unit in self.view.units}
        for unit, cls in self.classes.items():
            model = self.view.units[unit]
            need = {"pump": "pump", "high_pressure_pump": "pump", "low_pressure_pump": "pump",
                    "erd": "recoupsimple"}.get(cls)
            if need and model != need:
                raise ValueError(f"unit {unit!r} ({model}) cannot be costed as {cls!r}: that class is for "
                                 f"{need} units")
            if cls in AREA_PRICED and model != "osmocascade" and not _has_area(self.view.layouts[unit]):
                raise ValueError(f"unit {unit!r} ({model}) has no membrane_area to cost as {cls!r}; "
                                 f"choose a capacity-priced class (uf, mf, mbr) or none")
        # A pump's cost class is the plant's design choice, fixed once from
        # the pressure rise it is built with (its fixed settings or the model
        # defaults), so a varied pressure never moves it across the threshold.
        self.design_rise = {unit: self._design_rise(unit) for unit, cls in self.classes.items() if cls == "pump"}
        self.crf = self.params.crf
        # Arrays: elements priced by area as membranes are, plus their pressure vessels.
        # array -> (membrane price $/m², elements per vessel of each stage, element area m²)
        self.arrays: dict[str, tuple[float, list[int], float]] = {}
        self.array_names = list(getattr(fs, "arrays", {}))
        for name, node in getattr(fs, "arrays", {}).items():
            cls = self.params.unit_classes.get(name, MODEL_CLASSES.get(node.model, "none"))
            price = {"ro": self.params.ro_membrane_cost, "nf": self.params.nf_membrane_cost}.get(cls)
            if price is not None:
                self.arrays[name] = (price, list(node.elements), node.element_area)
        # An interstage booster is a pump of the array: its cost class, as a
        # pump unit's, is fixed once from the boost the plant is built with.
        self.boosters = {name: [(k, node.boosters[k - 1] > self.params.high_pressure_threshold_bar)
                                for k in range(2, len(node.vessels) + 1)]
                         for name, node in getattr(fs, "arrays", {}).items() if name in self.arrays}
        self._recipes: dict[frozenset[str], list[tuple[str, str, tuple[Any, ...]]]] = {}
        self._read: frozenset[str] | None = None

    @classmethod
    def of(cls, fs: Plant, params: CostParameters | None = None) -> CostModel:
        """The cost model of a flowsheet under these prices, built once per flowsheet state and
        prices and kept with the flowsheet (a caller that costs many small batches pays for the
        checks once)."""
        params = CostParameters() if params is None else params
        if not isinstance(params, CostParameters):
            raise TypeError(f"params must be CostParameters, not {type(params).__name__}")
        models = fs.__dict__.setdefault("_cost_models", {})
        key = (getattr(fs, "_version", None), params.key())
        model: CostModel | None = models.get(key)
        if model is None:
            if len(models) >= 16:
                models.clear()
            model = models[key] = cls(fs, dataclasses.replace(params, unit_classes=dict(params.unit_classes)))
        return model

    def columns_read(self) -> set[str]:
        """Every table column the cost lines may read (some only exist when a slot is varied).

        Returns
        -------
        set of str
            Column names; pass those present in a table as ``fs.evaluate(..., columns=...)`` to
            build no other column.
        """
        if self._read is not None:
            return set(self._read)
        names = {"kpi.electric_power_kw", "kpi.product_flow", "kpi.specific_energy_kwh_m3", "kpi.heat_kw",
                 "kpi.cooling_kw"}
        names |= {f"{name}.duty_kw" for name in self.view.thermal}
        for unit, cls in self.classes.items():
            sources = self.view.inlets[unit].values()
            inlet = {f"{source}.{q}" for source in sources for q in ("flow", "pressure_bar")}
            slots = {f"{unit}.{slot}" for slot in ("membrane_area", "element_area_m2", "element_count",
                                                    "motor_efficiency")}
            slots |= {f"{unit}.{v}.{slot}" for v in ("u", "p") for slot in ("membrane_area", "motor_efficiency")}
            outputs = {f"{prefix}{unit}.{name}" for prefix in ("", "y.")
                       for name in ("membrane_area", "pump_power_kw", "pressure_rise_bar")}
            names |= inlet | slots | outputs | {f"power.{unit}", f"{unit}.outlet.flow"}
        for name, (_, elements, _) in self.arrays.items():
            names |= {f"{prefix}{name}.stage{k}.vessels" for prefix in ("", "y.") for k in range(1, len(elements) + 1)}
            names |= {f"{name}.element_area", f"power.{name}"}
        self._read = frozenset(names)
        return names

    def _design_rise(self, unit: str) -> float:
        """Pressure rise (bar) of a pump unit at the point the plant is built for."""
        lay = self.view.layouts[unit]
        u, p = self.view.vectors[unit]
        y = lay.module.run(np.array(u, dtype=np.float64), np.array(p, dtype=np.float64))
        return float(lay.outputs(y, p)["pressure_rise_bar"])

    def pump_is_high_pressure(self, table: Table, unit: str) -> NDArray[np.bool_]:
        """Per row: True where the unit is costed as a high-pressure pump.

        Parameters
        ----------
        table : mapping
            Result table (column name -> array) with the unit's ``pressure_rise_bar`` output.
        unit : str
            A unit costed as a pump.

        Returns
        -------
        numpy.ndarray of bool
            The same value in every row: the unit's class where it fixes the choice, else
            whether the pressure rise the plant is built with (``design_rise``) exceeds
            ``high_pressure_threshold_bar`` (bar). A varied pressure rise never changes it.
        """
        cls = self.classes[unit]
        rise = _output(table, unit, "pressure_rise_bar")
        if cls == "high_pressure_pump":
            return np.ones_like(rise, dtype=bool)
        if cls == "low_pressure_pump":
            return np.zeros_like(rise, dtype=bool)
        if self.design_rise[unit] > self.params.high_pressure_threshold_bar:
            return np.ones_like(rise, dtype=bool)
        return np.zeros_like(rise, dtype=bool)

    def _recipe(self, table: Table) -> list[tuple[str, str, tuple[Any, ...]]]:
        """Per unit, how its capital is read from tables with these columns (built once per set of
        column names): the column keys found and the constant parts (prices, a fixed motor
        efficiency), so costing a sweep is its array arithmetic only."""
        key = frozenset(table)
        known = self._recipes.get(key)
        if known is not None:
            return known
        P = self.params
        recipe: list[tuple[str, str, tuple[Any, ...]]] = []
        for unit, cls in self.classes.items():
            if cls == "none":
                continue
            if cls in AREA_PRICED:
                price = {"ro": P.ro_membrane_cost, "nf": P.nf_membrane_cost, "md": P.md_membrane_cost}[cls]
                implied = f"power.{unit}" in table
                recipe.append((unit, "area", (price, implied)))
            elif cls in CAPACITY_PRICED:
                a = getattr(P, f"{cls}_capacity_cost") * P.capacity_cost_escalation
                recipe.append((unit, "capacity", (a, getattr(P, f"{cls}_base_flow"), getattr(P, f"{cls}_exponent"))))
            elif cls == "erd":
                recipe.append((unit, "erd", ()))
            else:
                power = next((k for k in (f"y.{unit}.pump_power_kw", f"{unit}.pump_power_kw") if k in table),
                             f"{unit}.pump_power_kw")
                eta = self.view.slot(table, unit, "motor_efficiency")
                # A fixed motor efficiency is clamped once; a varied one per row.
                fixed = None if np.ndim(eta) else np.where(np.isfinite(eta), np.clip(eta, 1e-6, 1.0), 1e-6)
                recipe.append((unit, "pump", (power, fixed)))
        if len(self._recipes) > 64:
            self._recipes.clear()
        self._recipes[key] = recipe
        return recipe

    def columns(self, table: Table, by_unit: bool = False) -> dict[str, Column]:
        """Cost columns of a result table (with ``by_unit``, also each unit's share: see hydrokit.costshare).

        Parameters
        ----------
        table : mapping
            A result table of this flowsheet (``fs.sweep``, ``fs.evaluate``, or a row with each
            value as a one-element array): column name -> 1-D array, one value per row.

        Returns
        -------
        dict of str to numpy.ndarray
            ``cost.capital.<unit>`` ($, installed) for every costed unit, then ``LINES``:
            ``cost.capital_total`` ($), ``cost.membrane_capital`` ($), ``cost.electricity``,
            ``cost.membrane_replacement``, ``cost.maintenance``, ``cost.operating_total``
            ($/year), ``cost.annual_product`` (m³/year), ``cost.lcow`` ($/m³; infinite where the
            product flow is not positive) and ``cost.sec`` (kWh/m³).

        Raises
        ------
        KeyError
            The table lacks a column a cost line reads (e.g. one left out with ``columns=``).

        Examples
        --------
        >>> table = fs.evaluate(["ro.membrane_area"], [[40.0], [60.0]])
        >>> cols = CostModel(fs).columns(table)
        >>> cols["cost.capital.ro"]                        # $: 30 $/m² × 2 installed
        array([2400., 3600.])
        """
        P = self.params
        out: dict[str, Column] = {}
        product_flow = _column(table["kpi.product_flow"])
        zeros = np.zeros_like(product_flow)
        membrane = zeros
        recipe = self._recipe(table)
        with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
            for unit, kind, const in recipe:
                if kind == "area":
                    price, implied = const
                    purchase = _membrane_area(self.view, table, unit) * price
                    membrane = membrane + purchase
                    capital = purchase * P.total_installed_cost_factor + \
                        (self._implied_feed_pump(table, unit) if implied else 0.0)
                elif kind == "capacity":
                    a, qb, b = const
                    q = self.view.inlet(table, unit, "flow") * 3600.0
                    capital = a * (q / qb) ** b
                elif kind == "erd":
                    capital = P.erd_cost * (self.view.inlet(table, unit, "flow") * 3600.0)
                else:  # a pump unit
                    power, eta = const
                    if eta is None:
                        eta = _motor_efficiency(self.view, table, unit)
                    shaft_w = (_column(table[power]) * 1000.0) * eta
                    flow_ls = _column(table[f"{unit}.outlet.flow"]) * 1000.0
                    capital = np.where(self.pump_is_high_pressure(table, unit),
                                       P.high_pressure_pump_cost * shaft_w, P.low_pressure_pump_cost * flow_ls)
                out[f"cost.capital.{unit}"] = zeros + capital
            for name, (price, elements, area) in self.arrays.items():
                vessels = [_output(table, name, f"stage{k}.vessels") for k in range(1, len(elements) + 1)]
                count = sum(v * e for v, e in zip(vessels, elements))
                area_column = table.get(f"{name}.element_area")
                purchase = (count * (area if area_column is None else _column(area_column))) * price
                membrane = membrane + purchase
                out[f"cost.capital.{name}"] = zeros + (purchase + P.pressure_vessel_cost * sum(vessels)) * \
                    P.total_installed_cost_factor
                for k, high in self.boosters[name]:
                    # Its power Q·Δp/η stands for the shaft power; the flow is the stage's feed.
                    # A stage without a boost (no power) has no booster to buy.
                    power_kw = _output(table, name, f"stage{k}.booster_power_kw")
                    if high:
                        booster = P.high_pressure_pump_cost * (power_kw * 1000.0)
                    else:
                        flow_ls = (_output(table, name, f"stage{k}.feed_flow_per_vessel") * vessels[k - 1]) * 1000.0
                        booster = P.low_pressure_pump_cost * flow_ls
                    out[f"cost.capital.{name}"] = out[f"cost.capital.{name}"] + np.where(power_kw > 0, booster, 0.0)
            for name in self.view.thermal:
                # A plate-and-frame exchanger sized for the duty at U and ΔT.
                area = (_column(table[f"{name}.duty_kw"]) * 1000.0) / (P.heat_exchanger_u * P.heat_exchanger_dt)
                purchase = P.heat_exchanger_cost_a + P.heat_exchanger_cost_b * area ** P.heat_exchanger_exponent
                out[f"cost.capital.{name}"] = zeros + (purchase * P.heat_exchanger_escalation) * \
                    P.total_installed_cost_factor
            capital_total = zeros
            for capital in out.values():
                capital_total = capital_total + capital
            power_kw = _column(table["kpi.electric_power_kw"])
            in_service_h = HOURS_PER_YEAR * P.utilisation
            electricity = P.electricity_price * (power_kw * in_service_h)
            heat = zeros
            if "kpi.heat_kw" in table:
                heat = P.heat_price * (_column(table["kpi.heat_kw"]) * in_service_h)
            cooling = zeros
            if "kpi.cooling_kw" in table:
                cooling = P.cooling_price * (_column(table["kpi.cooling_kw"]) * in_service_h)
            replacement = P.membrane_replacement_fraction * membrane
            maintenance = P.maintenance_fraction * capital_total
            operating = electricity + heat + cooling + replacement + maintenance
            product = product_flow * (3600.0 * in_service_h)
            lcow = (self.crf * capital_total + operating) / product
            out.update({
                "cost.capital_total": capital_total,
                "cost.membrane_capital": membrane * P.total_installed_cost_factor,
                "cost.electricity": electricity,
                "cost.heat": zeros + heat,
                "cost.cooling": zeros + cooling,
                "cost.membrane_replacement": replacement,
                "cost.maintenance": maintenance,
                "cost.operating_total": operating,
                "cost.annual_product": product,
                "cost.lcow": np.where(product > 0, lcow, np.inf),
                "cost.sec": _column(table["kpi.specific_energy_kwh_m3"]).copy(),
            })
        if by_unit:
            from .costshare import unit_columns

            out.update(unit_columns(self, table, out))
        return out

    def _implied_feed_pump(self, table: Table, unit: str) -> Column | float:
        # A membrane unit's own pump whose power the plant counts (a
        # distillation module's circulation pump; a membrane model's feed
        # pump is never counted): its reported power is hydraulic power over
        # the pump efficiency, i.e. shaft power. High-pressure by the same
        # threshold on the feed stream's pressure, else low-pressure by the
        # feed flow.
        column = f"power.{unit}"
        if column not in table:
            return 0.0
        power_kw = _column(table[column])
        # (A shortcut for arrays; the general form below gives the same values.)
        if isinstance(power_kw, np.ndarray) and not np.any(power_kw > 0):
            return 0.0
        P = self.params
        pressure = self.view.inlet(table, unit, "pressure_bar")
        flow_ls = self.view.inlet(table, unit, "flow") * 1000.0
        pump = np.where(pressure > P.high_pressure_threshold_bar, P.high_pressure_pump_cost * (power_kw * 1000.0),
                        P.low_pressure_pump_cost * flow_ls)
        return np.where(power_kw > 0, pump, 0.0)


def cost_columns(fs: Plant, table: Table, params: CostParameters | None = None) -> dict[str, Column]:
    """The cost columns (see ``CostModel.columns``) of a flowsheet's result table."""
    return CostModel(fs, params).columns(table)


@dataclass
class Costs:
    """The economics of one plant point (``res.costs()``).

    Attributes
    ----------
    capital : dict
        Unit (heaters and coolers too) -> installed capital, $ (costed units only).
    capital_total : float
        $.
    operating : dict
        ``electricity``, ``heat``, ``cooling``, ``membrane_replacement``, ``maintenance`` -> $/year.
    operating_total : float
        $/year.
    crf : float
        Capital recovery factor, 1/year.
    annual_product : float
        Product volume, m³/year (utilisation included).
    lcow : float
        Levelised cost of water, $/m³ (infinite without product).
    sec : float
        Specific energy, kWh/m³ of product.
    classes : dict
        Unit -> the cost class used.
    params : CostParameters
        The prices used.
    by_unit : dict
        Unit -> its share of ``capital`` ($), ``operating`` ($/year), ``lcow`` ($/m³) and ``sec``
        (kWh/m³); each figure's shares add up, in unit order, to the plant total exactly
        (see hydrokit.costshare for the one exception).

    Examples
    --------
    >>> c = fs.solve().costs()
    >>> round(c.lcow, 4), round(c.sec, 3)                  # $/m³, kWh/m³
    (0.4842, 2.964)
    >>> c.capital["ro"]                                     # $: 110 m² × 30 $/m² × 2
    6600.0
    """

    capital: dict[str, float]          # unit -> installed capital, $
    capital_total: float   # $
    operating: dict[str, float]        # line -> $/year: electricity, heat, cooling, membrane_replacement, maintenance
    operating_total: float  # $/year
    crf: float             # 1/year
    annual_product: float  # m³/year (utilisation included)
    lcow: float            # $/m³
    sec: float             # kWh/m³
    classes: dict[str, str]            # unit -> cost class used
    params: CostParameters
    by_unit: dict[str, dict[str, float]] = field(default_factory=dict)  # unit -> capital, operating, lcow, sec shares

    UNITS: ClassVar[dict[str, str]] = {
        "capital": "$", "capital_total": "$", "operating": "$/year", "operating_total": "$/year",
        "crf": "1/year", "annual_product": "m³/year", "lcow": "$/m³", "sec": "kWh/m³"}

    def __repr__(self) -> str:
        return costs_repr(self)

    def _repr_html_(self) -> str:
        return costs_html(self)

    def as_dict(self) -> dict[str, Any]:
        d = {k: getattr(self, k) for k in ("capital", "capital_total", "operating", "operating_total", "crf",
                                           "annual_product", "lcow", "sec", "classes")}
        return d

    def lines(self) -> list[tuple[str, float, str]]:
        """(name, value, unit) rows for printing."""
        rows = [(f"capital.{unit}", value, "$") for unit, value in self.capital.items()]
        rows.append(("capital_total", self.capital_total, "$"))
        rows += [(f"operating.{name}", value, "$/year") for name, value in self.operating.items()]
        rows += [("operating_total", self.operating_total, "$/year"), ("crf", self.crf, "1/year"),
                 ("annual_product", self.annual_product, "m³/year"), ("lcow", self.lcow, "$/m³"),
                 ("sec", self.sec, "kWh/m³")]
        return rows


def costs_from_row(fs: Plant, row: Mapping[str, float], params: CostParameters | None = None) -> Costs:
    """Costs of one plant point given its row (column name -> value) of the result table."""
    model = CostModel(fs, params)
    table = {name: np.asarray([value], dtype=np.float64) for name, value in row.items()}
    from .costshare import names as unit_names

    cols = model.columns(table, by_unit=True)
    capital = {unit: float(cols[f"cost.capital.{unit}"][0]) for unit, cls in model.classes.items() if cls != "none"}
    capital.update({name: float(cols[f"cost.capital.{name}"][0]) for name in model.arrays})
    capital.update({name: float(cols[f"cost.capital.{name}"][0]) for name in model.view.thermal})
    return Costs(
        capital=capital,
        capital_total=float(cols["cost.capital_total"][0]),
        operating={"electricity": float(cols["cost.electricity"][0]),
                   "heat": float(cols["cost.heat"][0]),
                   "cooling": float(cols["cost.cooling"][0]),
                   "membrane_replacement": float(cols["cost.membrane_replacement"][0]),
                   "maintenance": float(cols["cost.maintenance"][0])},
        operating_total=float(cols["cost.operating_total"][0]),
        crf=model.crf,
        annual_product=float(cols["cost.annual_product"][0]),
        lcow=float(cols["cost.lcow"][0]),
        sec=float(cols["cost.sec"][0]),
        classes=dict(model.classes),
        params=model.params,
        by_unit={unit: {name: float(cols[f"cost.{name}.{unit}"][0]) for name in ("capital", "operating", "lcow", "sec")}
                 for unit in unit_names(model)},
    )


def costs(result: Solved, params: CostParameters | None = None) -> Costs:
    """Costs of a solved flowsheet result (``res.costs(params)``).

    Parameters
    ----------
    result : flowsheet result
        A result of ``fs.solve`` (its flowsheet and its row are read).
    params : CostParameters, optional
        Prices and assumptions; the defaults when None.

    Returns
    -------
    Costs
        Capital per unit ($), operating lines ($/year), CRF (1/year), annual product (m³/year),
        LCOW ($/m³) and SEC (kWh/m³).

    Raises
    ------
    ValueError, TypeError
        As ``CostModel``: unknown units or classes in ``params``, a wrong ``params`` type.

    Examples
    --------
    >>> res = fs.solve()
    >>> round(costs(res).lcow, 3), round(costs(res, CostParameters(electricity_price=0.14)).lcow, 3)
    (0.289, 0.454)
    """
    return costs_from_row(result.flowsheet, result.row, params)


# ----------------------------------------------------------------------------
# How costs look: one line of text, the notebook's tables, the report's rows

def costs_repr(c: Costs) -> str:
    return (f"<Costs LCOW {human(c.lcow)} $/m³, SEC {human(c.sec)} kWh/m³, capital {human(c.capital_total)} $, "
            f"operating {human(c.operating_total)} $/year>")


def cost_rows(c: Costs, kinds: Mapping[str, str] | None = None) -> list[list[str]]:
    """Rows unit, class, capital, operating, LCOW, SEC and the total row; ``kinds`` (name -> "array",
    "heater", ...) names the class of what has no cost class of its own."""
    kinds = kinds or {}
    rows = [[unit, c.classes.get(unit, kinds.get(unit, "")), human(s["capital"]), human(s["operating"]), human(s["lcow"]),
             human(s["sec"])] for unit, s in c.by_unit.items()]
    rows.append(["total", "", human(c.capital_total), human(c.operating_total), human(c.lcow), human(c.sec)])
    return rows


COST_HEADERS = ["unit", "class", "capital ($)", "operating ($/year)", "LCOW ($/m³)", "SEC (kWh/m³)"]


def costs_html(c: Costs) -> str:
    from .present.html import table, wrap

    lines = [[name, human(value), unit] for name, value, unit in c.lines()]
    return wrap("<h3>Cost by unit</h3>" + table(COST_HEADERS, cost_rows(c)) +
                "<h3>Cost lines</h3>" + table(["line", "value", "unit"], lines))
