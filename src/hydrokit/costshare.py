"""Capital, operating cost, LCOW and specific energy of a plant, each shared out over its units.

A unit's share: its own installed capital; its operating cost (the
electricity its counted power buys, a recovery device's negative; the
replacement of its own membrane; the heat it buys or removes; maintenance
as the same fraction of its capital); its LCOW contribution (CRF × capital + operating) / annual
product; and its SEC contribution, its power over the product flow in m³/h.
Membrane arrays (elements, vessels, boosters) and heaters and coolers (their
exchanger, the heat bought or removed) have shares of their own.

The shares are computed per unit and then closed on the plant totals: the
difference between a total and the sum of its shares in unit order (a few
units in the last place, from rounding) is taken up by the largest share
(or the next, where the largest cannot), so that sum is the total bit for
bit. A table of shares then adds up to the figure printed below it. Only
where the shares cancel so far that none of them has a last place as fine
as the total's (4 + −3 cannot make 1 + 2⁻⁵²) does a gap remain, of the
order of one last place of the largest share or running sum.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any, Protocol

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .batch.program import column as _column
from .costbase import AREA_PRICED, HOURS_PER_YEAR
from .costbase import membrane_area as _membrane_area
from .costbase import output_column as _output

Column = NDArray[np.float64]


# What the shares read of a cost model (hydrokit.costing.CostModel), described here so that the
# shares need not import the cost model that imports them.
class _Prices(Protocol):
    @property
    def utilisation(self) -> float: ...
    @property
    def electricity_price(self) -> float: ...
    @property
    def heat_price(self) -> float: ...
    @property
    def cooling_price(self) -> float: ...
    @property
    def ro_membrane_cost(self) -> float: ...
    @property
    def nf_membrane_cost(self) -> float: ...
    @property
    def md_membrane_cost(self) -> float: ...
    @property
    def membrane_replacement_fraction(self) -> float: ...
    @property
    def maintenance_fraction(self) -> float: ...


class _Plant(Protocol):
    @property
    def units(self) -> dict[str, str]: ...
    @property
    def thermal(self) -> dict[str, str]: ...


class _CostModel(Protocol):
    @property
    def params(self) -> _Prices: ...
    @property
    def view(self) -> _Plant: ...
    @property
    def classes(self) -> dict[str, str]: ...
    @property
    def arrays(self) -> dict[str, tuple[float, list[int], float]]: ...
    @property
    def array_names(self) -> list[str]: ...
    @property
    def crf(self) -> float: ...

FIGURES = {"capital": "$", "operating": "$/year", "lcow": "$/m³", "sec": "kWh/m³"}
TOTALS = {"capital": "cost.capital_total", "operating": "cost.operating_total", "lcow": "cost.lcow",
          "sec": "cost.sec"}


def _total(stack: Column) -> Column:
    s = np.zeros(stack.shape[1])
    with np.errstate(invalid="ignore", over="ignore"):
        for row in stack:
            s = s + row
    return s


def _close(parts: Sequence[ArrayLike], total: ArrayLike, nudges: int = 8) -> list[Column]:
    """Shares adjusted until their sum in unit order equals ``total`` exactly, row by row.

    The gap is first added to the largest share; where rounding of the running sum still leaves
    one, that share is stepped by single units in the last place towards the total (the sum is
    monotonic in each share). Where that share's last place is too coarse to close the gap, the
    next largest takes up what is left."""
    if not parts:
        return []
    stack = np.vstack([np.asarray(p, dtype=np.float64) for p in parts])
    total = np.asarray(total, dtype=np.float64)
    ok = np.isfinite(total) & np.all(np.isfinite(stack), axis=0)
    total = np.where(ok, total, 0.0)     # rows left as they are; no arithmetic on their infinities
    rank = np.argsort(-np.abs(stack), axis=0, kind="stable")
    cols = np.arange(stack.shape[1])
    for r in range(len(stack)):
        gap = np.where(ok, total - _total(stack), 0.0)
        if not np.any(gap):
            break
        idx = rank[r]
        open_ = gap != 0.0
        stack[idx, cols] = np.where(open_, stack[idx, cols] + gap, stack[idx, cols])
        for _ in range(nudges):
            gap = np.where(ok & open_, total - _total(stack), 0.0)
            if not np.any(gap):
                break
            stack[idx, cols] = np.where(gap > 0, np.nextafter(stack[idx, cols], np.inf),
                                        np.where(gap < 0, np.nextafter(stack[idx, cols], -np.inf), stack[idx, cols]))
    return list(stack)


def names(model: _CostModel) -> list[str]:
    """The units sharing the costs, in the order of their shares: the flowsheet's units, its
    membrane arrays, then its heaters and coolers."""
    return [*model.view.units, *model.array_names, *model.view.thermal]


def _heat_outputs(model: _CostModel) -> dict[str, list[str]]:
    # A unit's own heat duty outputs (W), as kpi.heat_kw counts them.
    import importlib

    out: dict[str, list[str]] = {}
    for unit, name in model.view.units.items():
        try:
            table = importlib.import_module(f"hydrokit.tables.{name}")
        except ImportError:
            continue
        out[unit] = [output for output, _ in getattr(table, "HEAT", ())]
    return out


def unit_columns(model: _CostModel, table: Mapping[str, Any], cols: Mapping[str, Column]) -> dict[str, Column]:
    """``cost.<figure>.<unit>`` for every unit of the flowsheet and each figure of ``FIGURES``.

    Units are those of ``names``: a membrane array's share holds its elements, vessels and
    boosters; a heater's the heat it buys, a cooler's the cooling, each with its exchanger;
    a unit that heats its own feed carries that heat.
    ``model`` is the CostModel, ``table`` the result table and ``cols`` its ``model.columns(table)``.
    Where a total is not finite (no product: an infinite LCOW) the shares are left as computed."""
    P = model.params
    units = names(model)
    product_flow = _column(table["kpi.product_flow"])
    zeros = np.zeros_like(product_flow)
    in_service_h = HOURS_PER_YEAR * P.utilisation
    annual = cols["cost.annual_product"]
    heat_outputs = _heat_outputs(model)
    figures: dict[str, list[Column]] = {name: [] for name in FIGURES}
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        for unit in units:
            capital = cols.get(f"cost.capital.{unit}", zeros)
            power = _column(table[f"power.{unit}"]) if f"power.{unit}" in table else zeros
            electricity = P.electricity_price * (power * in_service_h)
            replacement = zeros
            heat = cooling = zeros
            cls = model.classes.get(unit)
            if cls in AREA_PRICED:
                price = {"ro": P.ro_membrane_cost, "nf": P.nf_membrane_cost, "md": P.md_membrane_cost}[cls]
                replacement = P.membrane_replacement_fraction * (_membrane_area(model.view, table, unit) * price)
            elif unit in model.arrays:
                price, elements, area = model.arrays[unit]
                vessels = [_output(table, unit, f"stage{k}.vessels") for k in range(1, len(elements) + 1)]
                count = sum(v * e for v, e in zip(vessels, elements))
                area_column = table.get(f"{unit}.element_area")
                replacement = P.membrane_replacement_fraction * (
                    (count * (area if area_column is None else _column(area_column))) * price)
            kind = model.view.thermal.get(unit)
            if kind == "heater":
                heat = P.heat_price * (_column(table[f"{unit}.duty_kw"]) * in_service_h)
            elif kind == "cooler":
                cooling = P.cooling_price * (_column(table[f"{unit}.duty_kw"]) * in_service_h)
            else:
                kw = zeros
                for output in heat_outputs.get(unit, ()):
                    duty_w = _output(table, unit, output)
                    if duty_w is not None:
                        kw = kw + duty_w / 1000.0
                heat = P.heat_price * (kw * in_service_h)
            operating = electricity + heat + cooling + replacement + P.maintenance_fraction * capital
            figures["capital"].append(zeros + capital)
            figures["operating"].append(zeros + operating)
            figures["lcow"].append(np.where(annual > 0, (model.crf * capital + operating) / annual, np.inf))
            figures["sec"].append(power / (product_flow * 3600.0))
    out: dict[str, Column] = {}
    for name, parts in figures.items():
        for unit, column in zip(units, _close(parts, cols[TOTALS[name]])):
            out[f"cost.{name}.{unit}"] = column
    return out


def by_unit(model: _CostModel, table: Mapping[str, Any],
            cols: Mapping[str, Column]) -> dict[str, dict[str, float]]:
    """Unit -> {figure: value} for a one-row table (see ``unit_columns``)."""
    columns = unit_columns(model, table, cols)
    return {unit: {name: float(columns[f"cost.{name}.{unit}"][0]) for name in FIGURES} for unit in names(model)}
