"""Ports: how a stream enters and leaves a model.

A stream carries ``flow`` (m³/s), ``temperature_c`` (°C), ``pressure_bar``
(bar) and the flowsheet's components as mass concentrations (g/m³). A model's
table (``hydrokit.tables.<model>``) describes its ports beside its slots:

``INLETS``
    port name -> :class:`Inlet`: which input or parameter slots the stream
    fills, each with the slot's unit (the stream value is converted to it).
    ``components=None``: the model reads none of this stream's components
    (any number are accepted; e.g. a distillation model's cold side).
``OUTLETS``
    port name -> :class:`Outlet`: where each stream quantity comes from: an
    output slot (:class:`Slot`, converted back from the slot's unit), the same
    quantity of an inlet stream (:class:`Same`, for what the model does not
    compute, e.g. a permeate leaving at the feed temperature) or a constant
    (:class:`Fixed`) or one of the unit's own input or parameter slots
    (:class:`Setting`, never below the flowsheet's ambient pressure when it
    is a pressure) or, for a pressure, the flowsheet's ambient pressure
    (:class:`Ambient`). An outlet's ``components`` may be a single
    :class:`Same` instead of a tuple: every component of that inlet passes
    through unchanged, whatever their number.
``KINDS`` (optional)
    inlet port -> one tuple of component kinds (``COMPONENT_KINDS``) per
    component slot: the kinds that slot takes. Without it every slot takes
    every kind.
``PASSES`` (optional)
    component kind -> pass rule (``PASS_RULES``) for a component of that
    kind that the unit does not model (no slot takes it): dissolved salts
    pass ultrafiltration, microfiltration and a bioreactor's membrane at
    their feed concentration; suspended solids leave a reverse-osmosis or
    nanofiltration unit wholly in its concentrate. A component that no slot
    takes and no rule passes is a build error naming both.
``COUNT_SLOT`` (optional)
    the parameter slot that the flowsheet sets to the number of components
    the unit carries (pump, energy recovery).
``HELD`` (optional)
    parameter slots that the ports' units or slot positions depend on
    (ultrasimple's solute_count moves the parameters after the removals; a
    mass or hours factor defines the concentration or flow unit): the
    flowsheet keeps them at the model default and a value given for one is a
    build error.
``EXCLUSIVE`` (optional)
    groups of outlet ports that describe the same water in two ways
    (osmocascade's blended permeate and its two stage permeates): connecting
    ports of more than one group would count that water twice, a build error.
``POWER``
    ``(output name, kind)`` pairs of the unit's electric power outputs, in kW:
    kind ``"drive"`` counts always (a pump unit, a zero-order energy
    intensity, a bioreactor's aeration, a distillation loop's circulation),
    ``"feed_pump"`` is the feed pump a membrane model assumes in front of
    itself: shown as the unit's information, never counted, since a
    stream's pressure is paid for once, by the pump units that raise it
    (elements in series, vessels behind a splitter or a second stage
    without a booster add no power of their own); ``"recovered"`` is
    subtracted (energy recovery).
``HEAT`` (optional)
    ``(output name, unit)`` pairs of heat duties the unit draws (not
    electric power, so not part of the power figures).
``DIAGNOSTICS``
    output name -> one line saying what its values mean; ``FLAGS``: the
    diagnostic outputs whose non-zero value marks the unit's result as
    flagged (not converged, a status code, replaced inputs).

Components fill the slots that take their kind, in order (the first
component of a kind the first free slot that takes it), unless a unit maps
them by name. Unit conversions are one exact multiplication or division by
a constant, in the direction a careful hand calculation takes: into a slot in
m³/d the flow is multiplied by 86400, out of it divided by 86400.
"""

from __future__ import annotations

import importlib
import types
from collections.abc import Iterable
from dataclasses import dataclass

# What a component is, which decides the component slots it may fill and how
# a unit that does not model it lets it pass: salts and other ions in
# solution, particles and colloids, biodegradable matter, nitrogen and
# phosphorus species that a bioreactor converts.
COMPONENT_KINDS = ("dissolved", "suspended", "organic", "nutrient")

# How a unit passes a component it does not model, by the table's PASSES rule:
# "through": every outlet carries it at the concentration of the inlet it
# comes from (it passes the membrane unchanged); "concentrate": the whole
# load leaves in the outlet named "concentrate", none in the others.
PASS_RULES = ("through", "concentrate")

# The units of a stream's quantities.
STREAM_UNITS: dict[str, str] = {"flow": "m³/s", "temperature_c": "°C", "pressure_bar": "bar", "component": "g/m³"}

# Slot unit -> (operation, constant) taking a stream value into that unit;
# the way back is the inverse operation with the same constant.
CONVERSIONS: dict[str, tuple[str, float] | None] = {
    "m³/s": None,
    "m³/h": ("mul", 3600.0),
    "m³/d": ("mul", 86400.0),
    "L/s": ("mul", 1000.0),
    "°C": None,
    "bar": None,
    "Pa": ("mul", 100000.0),
    "g/m³": None,
    "mg/L": None,
    "kg/m³": ("div", 1000.0),
}


def _check_unit(unit: str) -> None:
    if unit not in CONVERSIONS:
        raise ValueError(f"no conversion for unit {unit!r}; known: {', '.join(CONVERSIONS)}")


@dataclass(frozen=True)
class Slot:
    """A vector slot by name (``u.name``/``p.name`` where ambiguous) and the unit its value is in."""

    name: str
    unit: str

    def __post_init__(self) -> None:
        _check_unit(self.unit)

    def __str__(self) -> str:
        return f"{self.name} [{self.unit}]"


@dataclass(frozen=True)
class Same:
    """An outlet quantity equal to the same quantity of an inlet stream."""

    port: str
    quantity: str  # "flow", "temperature_c", "pressure_bar" or "component"

    def __str__(self) -> str:
        what = "every component" if self.quantity == "component" else self.quantity
        return f"{what} of the {self.port} stream"


@dataclass(frozen=True)
class Setting:
    """An outlet quantity equal to one of the unit's own input or parameter slots, as it ran.

    E.g. a permeate leaving at the model's ``permeate_pressure_bar`` input.
    """

    name: str
    unit: str

    def __post_init__(self) -> None:
        _check_unit(self.unit)

    def __str__(self) -> str:
        return f"the unit's {self.name} [{self.unit}]"


@dataclass(frozen=True)
class Fixed:
    """An outlet quantity held at a constant, in the stream's unit."""

    value: float

    def __str__(self) -> str:
        return f"fixed at {self.value!r}"


@dataclass(frozen=True)
class Ambient:
    """An outlet pressure at the flowsheet's ambient pressure (``Flowsheet(ambient_pressure_bar=...)``).

    The permeate of a model whose flux law takes the whole feed pressure as
    the pressure across its membrane leaves at ambient: the model computes
    no permeate pressure, and a stream never leaves below ambient unless a
    model computes that pressure.
    """

    def __str__(self) -> str:
        return "the flowsheet's ambient pressure"


@dataclass(frozen=True)
class Inlet:
    """The slots an entering stream fills. ``None``: the model does not read that quantity."""

    flow: Slot
    temperature_c: Slot | None
    pressure_bar: Slot | None
    components: tuple[Slot, ...] | None
    doc: str = ""


@dataclass(frozen=True)
class Outlet:
    """Where each quantity of a leaving stream comes from.

    ``components`` is aligned with the components of the inlet named
    ``of`` (position i of the outlet holds the component that filled position
    i of that inlet); a :class:`Same` entry passes that component through. A
    single :class:`Same` (not in a tuple) passes every component of its port
    through. ``flow`` may be :class:`Same` for a stream the model passes
    through unchanged (a distillation model's cold side).
    """

    flow: Slot | Same | Setting
    temperature_c: Slot | Same | Setting | Fixed
    pressure_bar: Slot | Same | Setting | Fixed | Ambient
    components: tuple[Slot | Same | Setting | Fixed, ...] | Same
    of: str = "feed"
    doc: str = ""


# -- the flowsheet's mistakes and a model's port table ------------------------------------------

class FlowsheetError(ValueError):
    """A mistake in a flowsheet; the message names what is wrong and the valid choices.

    Raised for every mistake in building a flowsheet (an unknown model,
    slot, port or name; a name used twice; a port connected twice; a slot
    that a stream fills or the flowsheet holds) and for the mistakes found
    when it is compiled or its rows are checked (a loop that cannot be torn,
    a tear stream outside every cycle, splitter fractions out of [0, 1] in a
    row, an unknown variable or column). It is a :class:`ValueError`, so
    ``except ValueError`` catches it too. A solve that does not converge is
    not a mistake and raises nothing (see :meth:`Flowsheet.solve`).

    Examples
    --------
    >>> import hydrokit
    >>> from hydrokit.flowsheet import FlowsheetError
    >>> fs = hydrokit.Flowsheet()
    >>> try:
    ...     fs.unit("hp", "pmup")
    ... except FlowsheetError as err:
    ...     print(str(err)[:40])
    unknown model 'pmup'; choose from: osmo...
    >>> issubclass(FlowsheetError, ValueError)
    True
    """

    # Named as it has always been raised and shown (hydrokit.flowsheet.nodes.FlowsheetError, also
    # hydrokit.flowsheet.FlowsheetError): the flowsheet's mistake, kept here so that the layers
    # below the flowsheet raise the same class.
    __module__ = "hydrokit.flowsheet.nodes"


def choice_list(names: Iterable[object], limit: int = 40) -> str:
    """The names for a message, the first ``limit`` of a long list (a message stays one short line)."""
    names = list(names)
    if len(names) > limit:
        return ", ".join(map(str, names[:limit])) + f", ... ({len(names):_} in all)"
    return ", ".join(map(str, names)) if names else "(none)"


def ports_table(model: str) -> types.ModuleType:
    """The table of a model that has ports (``hydrokit.tables.<model>``), or a one-line FlowsheetError."""
    from .layout import models

    if model not in models():
        raise FlowsheetError(f"unknown model {model!r}; choose from: {choice_list(models())}")
    table = importlib.import_module(f"hydrokit.tables.{model}")
    if not getattr(table, "INLETS", None) or not hasattr(table, "OUTLETS"):
        with_ports = [m for m in models() if getattr(importlib.import_module(f"hydrokit.tables.{m}"), "INLETS", None)]
        raise FlowsheetError(f"model {model!r} has no ports; models with ports: {choice_list(with_ports)}")
    return table
