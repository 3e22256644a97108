"""What a solved plant shows beyond its raw result: stream units, flagged outputs, the
projection table of an array and the unit of every output, for the printouts,
diagrams and reports.
"""

from __future__ import annotations

import importlib
import math
from collections.abc import Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Protocol

from ..checks import CheckedPlant
from ..ports import CONVERSIONS, STREAM_UNITS, Slot

if TYPE_CHECKING:
    from ..checks import Finding


class Plant(CheckedPlant, Protocol):
    """What a printout, a diagram or a notebook view reads of a flowsheet, besides what the design
    checks read: its feeds and units with all they hold, its products, streams and plans."""

    @property
    def feeds(self) -> Mapping[str, Any]: ...

    @property
    def units(self) -> Mapping[str, Any]: ...

    @property
    def products(self) -> Mapping[str, str]: ...

    def streams(self) -> list[str]: ...

    def plan(self, names: Iterable[str] = ()) -> Any: ...


class Solved(Protocol):
    """What they read of a result: its loop status, findings, figures, streams and outputs."""

    @property
    def flowsheet(self) -> Plant: ...

    @property
    def converged(self) -> bool: ...

    @property
    def iterations(self) -> int: ...

    @property
    def residual(self) -> float: ...

    @property
    def flagged(self) -> int: ...

    @property
    def kpis(self) -> Mapping[str, float]: ...

    @property
    def checks(self) -> Sequence[Finding]: ...

    def stream(self, name: str) -> dict[str, float]: ...

    def outputs(self, unit: str) -> dict[str, float]: ...

    def elements(self, array: str) -> list[dict[str, float]]: ...


def stream_units(fs: Any) -> dict[str, str]:
    return {"flow": STREAM_UNITS["flow"], "temperature_c": STREAM_UNITS["temperature_c"],
            "pressure_bar": STREAM_UNITS["pressure_bar"], **{c: STREAM_UNITS["component"] for c in fs.components}}


def flagged(fs: Any, res: Any) -> dict[str, float]:
    """``unit.output`` -> value for every FLAGS output that is non-zero (or not a number)."""
    found = {}
    for name, unit in fs.units.items():
        table = importlib.import_module(f"hydrokit.tables.{unit.model}")
        outputs = res.outputs(name)
        for flag in getattr(table, "FLAGS", ()):
            value = outputs.get(flag, 0.0)
            if value != 0.0:
                found[f"{name}.{flag}"] = value
        # A stream sent on with a NaN or an infinity flags its unit too.
        for port in unit.outlets:
            try:
                stream = res.stream(f"{name}.{port}")
            except Exception:  # an outlet left unconnected is still a stream; nothing else is
                continue
            for quantity, value in stream.items():
                if not math.isfinite(value):
                    found[f"{name}.{port}.{quantity}"] = value
    return found


def stream_unit(value: float, unit: str) -> float:
    """A slot value in the stream's unit (m³/s, g/m³) from the slot's own unit."""
    conversion = CONVERSIONS.get(unit)
    if conversion is None:
        return value
    op, constant = conversion
    return value / constant if op == "mul" else value * constant


def projection(fs: Any, res: Any, name: str) -> tuple[list[str], list[list[Any]]]:
    """The projection table of an array as (header, rows of numbers): per element of each
    stage's representative vessel, its feed, permeate, recovery, flux and polarisation."""
    array = fs.arrays[name]
    permeate = array.table.OUTLETS["permeate"]
    comps = [(c, permeate.components[array.positions[c]]) for c in fs.components]
    header = ["stage", "element", "feed [m³/h]", "pressure [bar]",
              *(f"feed {c} [g/m³]" for c in fs.components), "permeate [m³/h]",
              *(f"permeate {c} [g/m³]" for c in fs.components), "recovery", "flux [L/(m²·h)]", "polarisation"]
    ndp = "net_driving_pressure_bar" in array.stage_units[0].output_index
    if ndp:
        header.append("NDP [bar]")
    rows = []
    for r in res.elements(name):
        row = [r["stage"], r["element"], r["feed_flow"] * 3600.0, r["feed_pressure_bar"],
               *(r[f"feed_{c}"] for c in fs.components), r["permeate_flow"] * 3600.0,
               *(stream_unit(r[slot.name], slot.unit) for _, slot in comps),
               r["recovery"], r["flux_lmh"], r["polarisation_factor"]]
        if ndp:
            row.append(r["net_driving_pressure_bar"])
        rows.append(row)
    return header, rows


def output_units(model: str) -> dict[str, str]:
    """Output name -> unit, with the unit the ports chose where the slot is in the caller's unit."""
    table = importlib.import_module(f"hydrokit.tables.{model}")
    # Every output name the model can have, whatever its count parameter.
    units = dict(table.OUTPUT)
    for outlet in table.OUTLETS.values():
        comps = outlet.components if isinstance(outlet.components, tuple) else ()
        for source in (outlet.flow, outlet.temperature_c, outlet.pressure_bar, *comps):
            if isinstance(source, Slot) and units.get(source.name) not in CONVERSIONS:
                units[source.name] = source.unit
    return units
