"""The unit of every column of a flowsheet's result table, and column selection by pattern."""

from __future__ import annotations

import re
from collections.abc import Collection, Iterable, Mapping, Sequence
from fnmatch import fnmatchcase
from typing import Any, Protocol

from ..checks import CheckedPlant
from ..ports import STREAM_UNITS
from .readout import output_units


class Plant(CheckedPlant, Protocol):
    """What the column units read of a flowsheet besides what the design checks read: its streams
    and its plans."""

    @property
    def units(self) -> Mapping[str, Any]: ...  # read for their layouts and slot names too

    def streams(self) -> list[str]: ...

    def plan(self, names: Iterable[str] = ()) -> Any: ...


# The key figures of a plant point, each in its unit: the "kpi.<name>" columns of a table.
KPI_UNITS = {
    "electric_power_kw": "kW",
    "product_flow": "m³/s",
    "feed_flow": "m³/s",
    "recovery": "fraction",
    "specific_energy_kwh_m3": "kWh/m³",
    "heat_kw": "kW",
    "cooling_kw": "kW",
    "specific_heat_kwh_m3": "kWh/m³",
    "specific_cooling_kwh_m3": "kWh/m³",
}

STATUS_UNITS = {"converged": "flag", "iterations": "count", "residual": "fraction", "flagged": "count",
                "checks.errors": "count", "checks.warnings": "count"}


def column_units(fs: Plant, names: Collection[str], columns: Iterable[str]) -> dict[str, str]:
    """Column name -> unit for the columns of ``fs.sweep``/``fs.evaluate`` over the varied ``names``."""
    streams = set(fs.streams())
    units = fs.units
    arrays = getattr(fs, "arrays", {})
    thermal = getattr(fs, "thermal", {})
    outputs: dict[str, dict[str, str]] = {}

    def quantity_unit(q: str) -> str:
        return STREAM_UNITS.get(q, STREAM_UNITS["component"])

    def varied_unit(name: str) -> str:
        head, _, rest = name.partition(".")
        if head == "tear":
            return quantity_unit(rest.rsplit(".", 1)[-1])
        if head in units:
            try:
                vector, index = units[head].resolve_slot(rest, varied=True)
            except ValueError:
                return ""
            lay = units[head].layout
            unit: str = (lay.inputs if vector == "u" else lay.params)[index].unit
            return unit
        if rest.startswith("fraction"):
            return "fraction"
        return quantity_unit(rest)

    found: dict[str, str] = {}
    check_units: dict[str, str] | None = None
    for column in columns:
        if column in names:
            found[column] = varied_unit(column)
            continue
        plain = column[2:] if column.startswith("y.") else column
        head, _, rest = plain.partition(".")
        stream, _, q = plain.rpartition(".")
        if head == "power":
            found[column] = "kW"
        elif head == "kpi":
            found[column] = KPI_UNITS.get(rest, "")
        elif plain in STATUS_UNITS:
            found[column] = STATUS_UNITS[plain]
        elif stream in streams and (q in ("flow", "temperature_c", "pressure_bar") or q in fs.components):
            found[column] = quantity_unit(q)
        elif head in units:
            if head not in outputs:
                outputs[head] = output_units(units[head].model)
            found[column] = outputs[head].get(rest, "")
        elif head in thermal:
            found[column] = "kW" if rest == "duty_kw" else ""
        elif head in arrays:
            if head not in outputs:
                outputs[head] = output_units(arrays[head].model)
            found[column] = array_output_unit(rest, outputs[head], fs.components)
        elif head == "cost":
            found[column] = cost_unit(rest)
        elif head == "check":
            if check_units is None:    # a margin is in the units of its check's value and limit
                from ..checks import check_entries

                check_units = {c: check.units for c, _, check, _ in check_entries(fs, fs.plan(names))}
            found[column] = check_units.get(column, "")
        else:
            found[column] = ""
    return found


# The figures an array reports of itself, per stage and over the array, by the ending of their name.
_ARRAY_ENDINGS = (("vessels", "count"), ("flow_per_vessel", "m³/s"), ("_bar", "bar"), ("_kw", "kW"),
                  ("flux_lmh", "L/(m²·h)"), ("recovery", "fraction"), ("polarisation_factor", "—"),
                  ("efficiency", "fraction"), ("element_area", "m²"))


ELEMENT_COLUMN = re.compile(r"(^|\.)element\d+\.")   # an element's own column: stage<k>.element<j>.<name>
_ELEMENT = ELEMENT_COLUMN


def array_output_unit(rest: str, element_units: Mapping[str, str], components: Iterable[str]) -> str:
    """The unit of an array's output ``rest`` (``stage2.vessels``, ``max_flux_lmh``,
    ``stage1.element3.permeate_flow``); ``element_units`` are the element model's output units."""
    last = rest.rsplit(".", 1)[-1]
    if _ELEMENT.search(rest):
        feed = {"feed_flow": "m³/s", "feed_temperature_c": "°C", "feed_pressure_bar": "bar",
                **{f"feed_{c}": "g/m³" for c in components}}
        if last in feed:
            return feed[last]
        if last in element_units:
            return element_units[last]
    for ending, unit in _ARRAY_ENDINGS:
        if last.endswith(ending):
            return unit
    return ""


def cost_unit(rest: str) -> str:
    """The unit of a cost column ``cost.<rest>``."""
    head = rest.split(".", 1)[0]
    if head in ("capital", "capital_total", "membrane_capital"):
        return "$"
    if head == "lcow":
        return "$/m³"
    if head == "sec":
        return "kWh/m³"
    if head == "annual_product":
        return "m³/year"
    return "$/year"


def select(known: Iterable[str], names: Iterable[str], patterns: str | Iterable[str]) -> set[str]:
    """The columns matching ``patterns`` (a name or glob such as ``"kpi.*"``, or several), the varied
    ``names`` always among them. Raises ValueError for a pattern that matches nothing."""
    if isinstance(patterns, str):
        patterns = [patterns]
    chosen = set(names)
    for pattern in patterns:
        hits = {c for c in known if fnmatchcase(c, pattern)}
        if not hits:
            groups = sorted({c.split(".", 1)[0] + (".*" if "." in c else "") for c in known})
            raise ValueError(f"columns pattern {pattern!r} matches no column; columns start with: "
                             f"{', '.join(groups[:40])}")
        chosen |= hits
    return chosen
