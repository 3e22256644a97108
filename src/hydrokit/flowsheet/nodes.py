"""The nodes of a flowsheet (feeds, units, mixers, splitters, heaters and coolers), the limits of
a flowsheet and the checks of the values it is given.

The lowest module of the flowsheet package: the plan, its execution, the result and the
``Flowsheet`` itself build on these, and nothing here imports them.
"""

from __future__ import annotations

import functools
import math
import operator
import re
import types
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, SupportsFloat, SupportsIndex, SupportsInt, cast

from ..layout import Layout, LayoutError, Position, layout
# The mistakes' class, the message lists and the port tables are the ports' (also reached here).
from ..ports import COMPONENT_KINDS, PASS_RULES
from ..ports import FlowsheetError as FlowsheetError
from ..ports import choice_list as choice_list
from ..ports import ports_table as ports_table

if TYPE_CHECKING:  # importing this module loads no NumPy
    import numpy as np
    from numpy.typing import NDArray

# (vector, index) of a slot: vector "u" (inputs) or "p" (parameters).
SlotKey = tuple[str, int]

STREAM_QUANTITIES = ("flow", "temperature_c", "pressure_bar")

# Names that would collide with the columns of a sweep table.
RESERVED = frozenset({"kpi", "power", "tear", "y", "u", "p", "converged", "iterations", "residual", "flagged"})
# \Z, not $: a name ending in a newline would break tables and messages.
NAME_PATTERN = re.compile(r"\A[A-Za-z_][A-Za-z0-9_\-]*\Z")

# What one flowsheet may declare. Far above any real plant (a large plant has
# hundreds of units), low enough that a mistyped or hostile count fails at
# once with one line instead of building names until memory runs out.
MAX_NODES = 20_000         # feeds, units, mixers and splitters together
MAX_COMPONENTS = 1_000     # components the streams carry
MAX_PORTS = 10_000         # inlets of one mixer, outlets of one splitter
MAX_TOTAL_PORTS = 200_000  # inlets and outlets of every node together
MAX_ITERATIONS = 1_000_000  # passes of a recycle loop
MAX_NAME = 200             # characters of a name
MAX_ELEMENTS = 20_000      # membrane elements modelled in all arrays together (each a core run)
PLAN_CACHE = 32            # compiled plans kept per flowsheet

# Each element modelled is a core run of its own, so what one array may declare is bounded: far
# beyond any real array (a vessel holds up to 8 elements, a train a few hundred vessels).
MAX_STAGES = 20
MAX_ELEMENTS_PER_VESSEL = 50
MAX_ARRAY_ELEMENTS = 200        # elements per vessel, summed over the stages
MAX_VESSELS = 100_000           # vessels of one stage

# A tear stream starts, unless the user gives a start, as no flow at 25 °C
# and 1 bar carrying nothing: a recycle that has not yet come round.
DEFAULT_TEAR_START = {"flow": 0.0, "temperature_c": 25.0, "pressure_bar": 1.0}

# The pressure around the plant, bar absolute: standard pressure (1 bar), the
# pressure a feed has by default. A stream leaves a unit below it only where
# a model computes that pressure.
AMBIENT_BAR = 1.0

# Quantities of a feed the user does not give.
FEED_DEFAULTS = {"temperature_c": 25.0, "pressure_bar": 1.0}


_choices = choice_list


def short_text(value: object, limit: int = 60) -> str:
    """``repr(value)`` cut to one short line: a message never carries a whole hostile value."""
    text = repr(value)
    if len(text) > limit or "\n" in text:
        text = text.replace("\n", "\\n")[:limit] + "..."
    return text


_short = short_text


def finite_number(value: object, what: str) -> float:
    """A finite float, or a one-line FlowsheetError naming ``what``."""
    if value is None or isinstance(value, (str, bytes)):
        raise FlowsheetError(f"{what} must be a number, got {_short(value)}")
    try:
        # Any value is tried: float() raising is the check.
        number = float(operator.index(value) if isinstance(value, bool) else cast(SupportsFloat, value))
    except OverflowError:
        raise FlowsheetError(f"{what} must be a finite number, got an integer of {_digits(value)} digits") from None
    except (TypeError, ValueError):
        raise FlowsheetError(f"{what} must be a number, got {_short(value)}") from None
    if not math.isfinite(number):
        raise FlowsheetError(f"{what} must be a finite number, got {number!r}")
    return number


_number = finite_number


def _digits(value: object) -> int | str:
    try:
        return len(str(abs(int(cast(SupportsInt, value)))))
    except (TypeError, ValueError, OverflowError):
        return "many"


def whole_count(value: object, what: str, low: int, high: int) -> int:
    """A whole number in [low, high], or a one-line FlowsheetError with the limit."""
    try:
        count = operator.index(cast(SupportsIndex, value))  # any value is tried: index() raising is the check
    except TypeError:
        raise FlowsheetError(f"{what} must be a whole number, got {_short(value)}") from None
    if count < low:
        raise FlowsheetError(f"{what} must be at least {low}, got {count}")
    if count > high:
        raise FlowsheetError(f"{what} must be at most {high:_}, got {_short(count, 30)}")
    return count


_ports_table = ports_table


@functools.cache
def moving_count_slots(model: str) -> frozenset[int]:
    """Parameter indices of count slots that move the output positions (never varied in a sweep)."""
    lay = layout(model)
    if lay._output_slots is None:
        return frozenset()
    base = lay.module.default_params()
    names = [s.name for s in lay.output_slots(base)]
    moving: set[int] = set()
    for slot in lay.params:
        if slot.unit != "count":
            continue
        for value in (0.0, 1.0, 2.0, 3.0, 4.0, 5.0):
            p = base.copy()
            p[slot.index] = value
            if [s.name for s in lay.output_slots(p)] != names:
                moving.add(slot.index)
                break
    return frozenset(moving)


class Feed:
    """A stream entering the plant, with its quantities."""

    kind = "feed"

    def __init__(self, name: str, values: Mapping[str, float], utility: bool = False,
                 water: str | None = None) -> None:
        self.name = name
        # quantity -> float (flow, temperature_c, pressure_bar, components). Read-only: a
        # compiled plan holds these values, so a change here would be silently ignored;
        # vary a quantity in solve/sweep or build a new feed instead.
        self.values = types.MappingProxyType(dict(values))
        self.utility = utility  # a cooling or heating loop: not counted in kpi.feed_flow
        self.water = water  # the water class given, or None (inferred from the dissolved content)

    @property
    def inlets(self) -> tuple[str, ...]:
        return ()

    @property
    def outlets(self) -> tuple[str, ...]:
        return ("",)  # the feed itself is its one stream

    def __repr__(self) -> str:
        return f"Feed({self.name!r})"


class Unit:
    """One model in the flowsheet: its fixed slots and how streams fill it.

    ``settings`` are the slots the user fixed (name as given -> value);
    ``positions`` maps each flowsheet component to its position in the
    model's component slots (the components it models), ``passed`` maps the
    others to the rule by which the unit lets them pass (``PASSES`` of its
    table); ``count`` is what the flowsheet writes into the
    model's COUNT_SLOT (None when the model has none).
    """

    kind = "unit"

    def __init__(self, name: str, model: str, settings: Mapping[str, object], components: Mapping[str, str] | None,
                 flowsheet_components: Sequence[str], kinds: Mapping[str, str] | None = None) -> None:
        self.name = name
        self.model = model
        self.table = _ports_table(model)
        self.layout: Layout = layout(model)
        self.inlets: tuple[str, ...] = tuple(self.table.INLETS)
        self.outlets: tuple[str, ...] = tuple(self.table.OUTLETS)
        self.positions = self._positions(components, flowsheet_components, kinds)
        count_slot: str | None = getattr(self.table, "COUNT_SLOT", None)
        self.count_slot = self.layout.resolve(count_slot) if count_slot else None
        self.count = (max(self.positions.values(), default=-1) + 1) if count_slot else None
        self.filled = self._filled()
        self.held: dict[SlotKey, str] = {self.layout.resolve(name): name for name in getattr(self.table, "HELD", ())}
        fixed: dict[str, float] = {}
        self.slots: dict[SlotKey, float] = {}  # (vector, index) -> value, the settings resolved
        for key, value in settings.items():
            slot = self.resolve_slot(key, varied=False)
            fixed[key] = _number(value, f"unit {name!r}: {key}")
            self.slots[slot] = fixed[key]
        # The parameter vector as the unit runs (count included): it fixes
        # the output positions of the models whose positions move.
        self.u0: NDArray[np.float64] = self.layout.module.default_input()
        self.p0: NDArray[np.float64] = self.layout.module.default_params()
        for port in self.table.INLETS.values():
            for slot in port.components or ():
                vector, index = self.layout.resolve(slot.name)
                (self.u0 if vector == "u" else self.p0)[index] = 0.0
        if self.count_slot is not None and self.count is not None:  # set together
            vector, index = self.count_slot
            (self.u0 if vector == "u" else self.p0)[index] = float(self.count)
        for (vector, index), value in self.slots.items():
            (self.u0 if vector == "u" else self.p0)[index] = value
        self.output_slots: list[Position] = [s for s in self.layout.output_slots(self.p0) if s.name]
        self.output_index = {s.name: s.index for s in self.output_slots}
        # Fixed once built (a compiled plan holds them): vary a slot in solve/sweep instead.
        self.settings: Mapping[str, float] = types.MappingProxyType(fixed)
        self.u0.flags.writeable = False
        self.p0.flags.writeable = False

    def __repr__(self) -> str:
        return f"Unit({self.name!r}, {self.model!r})"

    def _slot_kinds(self, width: int) -> list[frozenset[str]]:
        """The kinds each of the first ``width`` component slots takes (every kind without a KINDS table)."""
        table = getattr(self.table, "KINDS", None) or {}
        for port, inlet in self.table.INLETS.items():
            if inlet.components is not None and port in table:
                return [frozenset(k) for k in table[port][:width]]
        return [frozenset(COMPONENT_KINDS)] * width

    def _pass_rule(self, kind: str) -> str | None:
        rule: str | None = (getattr(self.table, "PASSES", None) or {}).get(kind)
        if rule is not None and rule not in PASS_RULES:
            raise FlowsheetError(f"{self.model}: unknown pass rule {rule!r}; rules: {_choices(PASS_RULES)}")
        return rule

    def _positions(self, mapping: Mapping[str, str] | None, flowsheet_components: Sequence[str],
                   kinds: Mapping[str, str] | None = None) -> dict[str, int]:
        """Component -> slot position for the components the unit models; ``self.passed``: component -> pass
        rule for those it lets pass without modelling them."""
        kinds = kinds or {}
        self.passed: dict[str, str] = {}
        # Inlets whose components the model does not read (None) carry any number.
        widths = {port: len(inlet.components) for port, inlet in self.table.INLETS.items()
                  if inlet.components is not None}
        width = min(widths.values(), default=0)
        takes = self._slot_kinds(width)
        if mapping is None:
            positions: dict[str, int] = {}
            free, left = list(range(width)), []
            for c in flowsheet_components:
                kind = kinds.get(c, "dissolved")
                slot = next((i for i in free if kind in takes[i]), None)
                if slot is not None:
                    positions[c] = slot
                    free.remove(slot)
                elif passing := self._pass_rule(kind):
                    self.passed[c] = passing
                else:
                    left.append(c)
            if left:
                kind = kinds.get(left[0], "dissolved")
                taking = sum(kind in t for t in takes)
                if taking == 0:
                    accepted = sorted(set[str]().union(*takes))
                    raise FlowsheetError(
                        f"unit {self.name!r} ({self.model}) can neither carry nor pass component {left[0]!r} "
                        f"({kind}): its component slots take {_choices(accepted)}")
                raise FlowsheetError(
                    f"unit {self.name!r} ({self.model}) carries at most {taking} component(s) of kind {kind!r} and "
                    f"passes none, the flowsheet has more: {_choices(c for c in left if kinds.get(c, 'dissolved') == kind)} "
                    f"cannot be carried; give components={{slot: component}} or a flowsheet with fewer components")
            return positions
        if not isinstance(mapping, dict):
            raise FlowsheetError(f"unit {self.name!r}: components must be a dict slot -> component name")
        labels: dict[str, int] = {}
        for inlet in self.table.INLETS.values():
            for i, slot in enumerate((inlet.components or ())[:width]):
                bare = slot.name.rpartition(".")[2]
                labels.setdefault(bare, i)
                stem = bare.split("_", 1)[0]
                labels.setdefault(stem, i)
        positions = {}
        for key, component in mapping.items():
            if key not in labels:
                raise FlowsheetError(f"unit {self.name!r} ({self.model}): unknown component slot {key!r}; "
                                     f"choose from: {_choices(labels)}")
            if component not in flowsheet_components:
                raise FlowsheetError(f"unit {self.name!r}: unknown component {component!r}; "
                                     f"choose from: {_choices(flowsheet_components)}")
            if component in positions:
                raise FlowsheetError(f"unit {self.name!r}: component {component!r} mapped twice")
            if labels[key] in positions.values():
                raise FlowsheetError(f"unit {self.name!r}: component slot {key!r} given two components")
            kind = kinds.get(component, "dissolved")
            if kind not in takes[labels[key]]:
                raise FlowsheetError(f"unit {self.name!r} ({self.model}): slot {key!r} takes "
                                     f"{_choices(sorted(takes[labels[key]]))}, not component {component!r} ({kind})")
            positions[component] = labels[key]
        missing: list[str] = []
        for c in flowsheet_components:
            if c not in positions:
                rule = self._pass_rule(kinds.get(c, "dissolved"))
                if rule:
                    self.passed[c] = rule
                else:
                    missing.append(c)
        if missing:
            raise FlowsheetError(f"unit {self.name!r} ({self.model}) does not carry component(s) {_choices(missing)}; "
                                 f"map each to one of its component slots: {_choices(labels)}")
        return positions

    def _filled(self) -> dict[SlotKey, str]:
        """(vector, index) -> "unit.port": the slots that inlet streams fill."""
        filled: dict[SlotKey, str] = {}
        for port, inlet in self.table.INLETS.items():
            slots = [inlet.flow, inlet.temperature_c, inlet.pressure_bar]
            if inlet.components is not None:
                slots += [inlet.components[i] for i in self.positions.values()]
            for slot in slots:
                if slot is not None:
                    filled[self.layout.resolve(slot.name)] = f"{self.name}.{port}"
        return filled

    def resolve_slot(self, key: str, *, varied: bool) -> SlotKey:
        """(vector, index) of a slot the user fixes or varies, with every check."""
        try:
            slot = self.layout.resolve(key)
        except LayoutError as err:
            raise FlowsheetError(f"unit {self.name!r}: {err}") from None
        if slot in self.filled:
            raise FlowsheetError(f"unit {self.name!r}: slot {key!r} is filled by the stream at "
                                 f"{self.filled[slot]}; set that stream instead")
        if self.count_slot is not None and slot == self.count_slot:
            raise FlowsheetError(f"unit {self.name!r}: slot {key!r} is set by the flowsheet "
                                 f"to the number of components the unit carries ({self.count})")
        if slot in self.held:
            raise FlowsheetError(f"unit {self.name!r}: slot {key!r} is held at the model default in a flowsheet "
                                 f"(the ports' units or positions depend on it)")
        if varied and slot[0] == "p" and slot[1] in moving_count_slots(self.model):
            raise FlowsheetError(f"unit {self.name!r}: slot {key!r} moves the output positions and cannot "
                                 f"be varied; fix it with fs.unit(...) instead")
        return slot


class Mixer:
    """Streams joined: flows add, components and temperature flow-weighted, pressure the lowest inlet's."""

    kind = "mixer"

    def __init__(self, name: str, inlets: int) -> None:
        self.name = name
        # The count is checked before a single port name is made.
        count = whole_count(inlets, f"mixer {name!r}: inlets", 2, MAX_PORTS)
        self.inlets = tuple(f"inlet{i}" for i in range(1, count + 1))
        self.outlets = ("outlet",)

    def __repr__(self) -> str:
        return f"Mixer({self.name!r}, inlets={len(self.inlets)})"


class Splitter:
    """One stream divided by flow fractions; every outlet keeps the inlet's composition."""

    kind = "splitter"

    def __init__(self, name: str, fractions: Sequence[float]) -> None:
        self.name = name
        self.fractions = tuple(fractions)
        self.inlets = ("inlet",)
        self.outlets = tuple(f"outlet{i}" for i in range(1, len(fractions) + 1))

    def __repr__(self) -> str:
        return f"Splitter({self.name!r}, fractions={self.fractions})"


class Thermal:
    """A heater or a cooler: one stream (port inlet) brought to a temperature or given a duty (port outlet).

    ``setting`` is ``"outlet_temperature_c"`` (°C) or ``"duty_kw"`` (kW of
    heat moved, >= 0), ``value`` its value as built; ``sign`` is +1 for a
    heater, -1 for a cooler.
    """

    SETTINGS = ("outlet_temperature_c", "duty_kw")

    def __init__(self, name: str, kind: str, setting: str, value: float) -> None:
        self.name = name
        self.kind = kind  # "heater" or "cooler"
        self.sign = 1 if kind == "heater" else -1
        self._setting = setting
        self._value = value
        self.inlets = ("inlet",)
        self.outlets = ("outlet",)

    # Read-only once built (a plan compiled from them is cached): vary the setting in a solve
    # or sweep instead.
    @property
    def setting(self) -> str:
        return self._setting

    @property
    def value(self) -> float:
        return self._value

    def __repr__(self) -> str:
        return f"{self.kind.capitalize()}({self.name!r}, {self.setting}={self.value!r})"
