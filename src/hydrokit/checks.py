"""Design checks: what a plant point must satisfy to be physically possible, and what a designer expects.

Each model's table (``hydrokit.tables.<model>``) ends with ``CHECKS``, a tuple
of :class:`Check`; every unit also gets the checks of :data:`GENERIC` (its
flags, finite streams, liquid water, solubility). A check reads quantities
of its unit through a :class:`View` and gives a value and a limit (a
membrane array is checked element by element and per stage, see
:func:`array_checks`; heaters and coolers by their streams); its
*margin* is ``limit - value`` for an upper limit (``value - limit`` for a
lower one), positive inside, in the check's units. A margin below zero, or
not a number, is a finding.

The value and limit expressions are plain NumPy arithmetic on table columns,
so the same expressions run on a sweep's arrays and are recorded into the
compiled column programs (hydrokit.batch.program) of the optimiser's scores.

Severities: ``"error"``, the point is physically impossible or outside what
the model represents; ``"warning"``, a design guideline is broken or a
model's own cap decided the result.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping, Sequence, Set
from dataclasses import dataclass
from functools import partial
from types import ModuleType
from typing import TYPE_CHECKING, Any, NoReturn, Protocol, cast

import numpy as np
from numpy.typing import NDArray

if TYPE_CHECKING:
    from .layout import Layout
    from .ports import Inlet

__all__ = ["Check", "Finding", "View", "WaterClass", "WATER_CLASSES", "GENERIC", "SOLUBILITY", "osmotic_bar",
           "water_class_of", "boiling_point_c", "infer_water_class", "model_checks", "check_entries",
           "check_columns", "findings", "changed_limits", "array_checks", "node_checks"]

SEVERITIES = ("error", "warning")

# One column of a result table: a float64 array (a sweep), a traced column being recorded into a
# column program, or a float for what the plan holds constant. NumPy's stubs cannot follow a traced
# column through np.where or np.maximum, so to the type checker a column is any value.
Column = Any
Table = Mapping[str, Column]
# (vector "u" or "p", index) of an input or parameter slot.
SlotKey = tuple[str, int]
# (node, port) of a stream.
Stream = tuple[str, str]
GAS_CONSTANT = 8.31446261815324  # J/(mol·K), as the lumped osmotic law of the membrane models
ATMOSPHERE_BAR = 1.01325


@dataclass(frozen=True)
class WaterClass:
    """A feed-water source and the figures designers use for it.

    ``flux``: the highest average design flux of reverse osmosis and
    nanofiltration elements on this water, L/(m²·h); ``rating``: the
    element's pressure rating, bar."""

    name: str
    description: str
    flux: float
    rating: float


# Membrane manufacturers' design guidelines for 8-inch spiral-wound elements
# (average system flux by feed source; upper end of each published range).
WATER_CLASSES = {c.name: c for c in (
    WaterClass("seawater_well", "seawater from a beach well or UF-pretreated (15-19 L/(m²·h))", 19.0, 83.0),
    WaterClass("seawater_open", "seawater, open intake with membrane pretreatment (14-17 L/(m²·h))", 17.0, 83.0),
    WaterClass("seawater", "seawater, open intake with conventional pretreatment (12-17 L/(m²·h))", 17.0, 83.0),
    WaterClass("brackish_well", "brackish well water (20-28 L/(m²·h))", 28.0, 41.0),
    WaterClass("brackish_surface", "brackish surface water (14-18 L/(m²·h))", 18.0, 41.0),
    WaterClass("surface", "fresh surface water (14-18 L/(m²·h))", 18.0, 41.0),
    WaterClass("wastewater_effluent", "tertiary wastewater effluent (14-18 L/(m²·h))", 18.0, 41.0),
    WaterClass("permeate", "permeate of an upstream pass (30-40 L/(m²·h))", 40.0, 41.0),
)}

# Solubility at 25 °C of components whose name says what they are, g/m³
# (sodium chloride about 360 g/L, handbook figure).
SOLUBILITY = {"salt": 360000.0, "nacl": 360000.0, "sodium_chloride": 360000.0}


def infer_water_class(dissolved: float) -> str:
    """The class of a feed from its dissolved content (g/m³, the sum of its components)."""
    if dissolved >= 10000.0:
        return "seawater"
    if dissolved >= 1000.0:
        return "brackish_well"
    return "surface"


def osmotic_bar(conc_kg_m3: Column, molar_mass: Column, factor: Column, temperature_c: Column) -> Column:
    """Van 't Hoff osmotic pressure (bar) of a salt at ``conc_kg_m3`` (kg/m³, numerically g/L), with
    its molar mass (g/mol), dissociation factor and temperature (°C): the membrane models' lumped law."""
    return ((conc_kg_m3 / (molar_mass / 1000.0)) * factor * GAS_CONSTANT) * (temperature_c + 273.15) / 100000.0


def boiling_point_c(pressure_bar: Column) -> Column:
    """Boiling point of water (°C) at a pressure in bar, from the Antoine equation (99-374 °C set);
    a pressure below one atmosphere is taken as one atmosphere (a stream at or below ambient is open
    to the air)."""
    mmhg = np.maximum(pressure_bar, ATMOSPHERE_BAR) * 750.061683
    return 1810.94 / (8.14019 - np.log10(mmhg)) - 244.485


class Node(Protocol):
    """What the checks read of any node of a plant: a feed, unit, mixer, splitter, heater, cooler or array."""

    @property
    def name(self) -> str: ...

    @property
    def kind(self) -> str: ...  # "feed", "unit", "mixer", "splitter", "heater", "cooler" or "array"

    @property
    def inlets(self) -> Sequence[str]: ...  # port names

    @property
    def outlets(self) -> Sequence[str]: ...


class ModelUnit(Node, Protocol):
    """A node that runs a model (a unit, or the template unit of an array's stage): its table, its
    layout and the vectors it starts from."""

    @property
    def model(self) -> str: ...

    @property
    def table(self) -> ModuleType: ...  # hydrokit.tables.<model>

    @property
    def layout(self) -> Layout: ...

    @property
    def positions(self) -> Mapping[str, int]: ...  # flowsheet component -> position in the component slots

    @property
    def filled(self) -> Mapping[SlotKey, str]: ...  # slot -> "unit.port" of the stream that fills it

    @property
    def u0(self) -> NDArray[np.float64]: ...

    @property
    def p0(self) -> NDArray[np.float64]: ...


class MembraneArray(Node, Protocol):
    """What the checks read of a membrane array: its element model and stages."""

    @property
    def model(self) -> str: ...

    @property
    def elements(self) -> Sequence[int]: ...  # elements per vessel, by stage

    @property
    def stage_units(self) -> Sequence[ModelUnit]: ...

    @property
    def stage_fixed(self) -> Sequence[Set[SlotKey]]: ...  # slots fixed for one stage alone


class CheckedPlant(Protocol):
    """What the checks read of a flowsheet's public face: its components, nodes by kind and feeds'
    water classes."""

    @property
    def components(self) -> Sequence[str]: ...

    @property
    def ambient_pressure_bar(self) -> float: ...  # bar absolute

    @property
    def feeds(self) -> Mapping[str, Node]: ...

    @property
    def units(self) -> Mapping[str, ModelUnit]: ...

    @property
    def thermal(self) -> Mapping[str, Node]: ...  # heaters and coolers

    @property
    def arrays(self) -> Mapping[str, MembraneArray]: ...

    def water_class(self, feed: str) -> str: ...


class _Wiring(CheckedPlant, Protocol):
    """A flowsheet with the node table and links it keeps to itself."""

    @property
    def _nodes(self) -> Mapping[str, Node]: ...

    @property
    def _links(self) -> Mapping[Stream, Stream]: ...  # (node, inlet) -> the (node, outlet) feeding it

    def _label(self, port: Stream) -> str: ...  # "node.port", or the feed's name


def _wiring(fs: CheckedPlant) -> _Wiring:
    # Every flowsheet has these; the checks trace a unit's feed and inlet streams through them.
    return cast(_Wiring, fs)


class PlanColumns(Protocol):
    """What the checks read of a compiled plan: its row variables and the columns of its table."""

    @property
    def names(self) -> Sequence[str]: ...  # the row variables

    @property
    def streams(self) -> Mapping[str, int]: ...  # stream name -> first column of its block

    @property
    def unit_outputs(self) -> Mapping[str, Sequence[tuple[str, int]]]: ...  # unit -> (output name, column)

    @property
    def tears(self) -> Sequence[str]: ...

    memo: dict[str, Any]  # what is worked out once per plan, by name


class CheckView(Protocol):
    """What a check's value, limit and ``applies`` functions read of the point they check.

    A unit's view (:class:`View`, an array element's) has every quantity; the views of an array's
    summary or stage columns and of the plant or a feed have only their columns, and reading a unit,
    slot or stream of them raises AttributeError."""

    @property
    def name(self) -> str: ...  # the prefix of the view's columns

    @property
    def table(self) -> Table: ...

    @property
    def water(self) -> str | None: ...  # the water class of the unit's feed (None: not known)

    @property
    def fs(self) -> CheckedPlant: ...

    @property
    def plan(self) -> PlanColumns: ...

    @property
    def unit(self) -> Node: ...

    def out(self, name: str) -> Column: ...

    def stream(self, port: str, quantity: str) -> Column: ...

    def inlet(self, port: str, quantity: str) -> Column: ...

    def slot(self, name: str) -> Column: ...


# A view of a result table (arrays or traced columns) for one check's unit, element, stage or feed.
ViewFactory = Callable[[Table], CheckView]


def _model_unit(view: CheckView) -> ModelUnit:
    # The checks that read a model's flags or slots are built only over model units and array
    # elements (a heater's, cooler's or array's own checks read its streams alone).
    return cast(ModelUnit, view.unit)


@dataclass(frozen=True)
class Check:
    """One design check of a unit, as data.

    name : short snake_case name; the margin column is ``check.<unit>.<name>``.
    what : what the value is, for messages ("average flux").
    reads : the unit quantities read (documentation).
    value : ``view -> column`` of the checked quantity, in ``units``.
    limit : a number in ``units``; ``"flux"`` or ``"rating"`` for the guideline of the unit's water
        class; or ``view -> column`` for a limit computed from the point (such a limit can be switched
        off, not changed).
    units : the units of value and limit.
    severity : ``"error"`` or ``"warning"``.
    source : the public source of the limit.
    upper : True when the value must stay at or below the limit, False at or above it.
    message : a format string with ``{unit}``, ``{value}``, ``{limit}``, ``{units}`` and ``{out[...]}``
        (the unit's outputs) for the finding; default: "<unit>: <what> <value> <units> exceeds the
        limit <limit> <units>".
    scale : a typical size of the margin, for an optimiser's measure of how far a point is outside.
    """

    name: str
    what: str
    reads: tuple[str, ...]
    value: Callable[[CheckView], Column]
    limit: float | str | Callable[[CheckView], Column]
    units: str
    severity: str
    source: str
    upper: bool = True
    message: str = ""
    scale: float = 0.0
    applies: Callable[[CheckView], bool] | None = None  # None: every unit of the model
    limit_doc: str = ""  # what a computed limit is, for the docs

    def __post_init__(self) -> None:
        if self.severity not in SEVERITIES:
            raise ValueError(f"check {self.name!r}: severity must be 'error' or 'warning', got {self.severity!r}")

    @property
    def computed(self) -> bool:
        return callable(self.limit)

    def limit_text(self) -> str:
        if callable(self.limit):
            return self.limit_doc or "computed from the point"
        if isinstance(self.limit, str):
            return f"by water class ({self.limit})"
        return f"{self.limit:g}"


@dataclass
class Finding:
    """A check a point fails: ``unit``, ``check``, ``severity``, ``value``, ``limit``, ``units``, ``message``."""

    unit: str
    check: str
    severity: str
    value: float
    limit: float
    units: str
    message: str

    def __str__(self) -> str:
        return f"{self.severity}: {self.message}"


def _stream_source(unit: ModelUnit, inlet: Inlet, slot: SlotKey) -> tuple[str, str] | None:
    """(stream quantity or component, slot unit) of the inlet stream that fills a unit's slot, or
    None when no stream fills it."""
    found = None
    for quantity in ("flow", "temperature_c", "pressure_bar"):
        s = getattr(inlet, quantity)
        if s is not None and unit.layout.resolve(s.name) == slot:
            found = (quantity, s.unit)
    if inlet.components is not None:
        for component, position in unit.positions.items():
            s = inlet.components[position]
            if unit.layout.resolve(s.name) == slot:
                found = (component, s.unit)
    return found


class View:
    """A unit's quantities in a result table: outputs, slots as the unit ran, streams, water class.

    ``table`` holds arrays (a sweep) or traced columns (a column program); what is constant for the
    plan (an unvaried parameter) is a Python float."""

    def __init__(self, fs: CheckedPlant, plan: PlanColumns, unit: Node, table: Table, water: str | None) -> None:
        self.fs, self.plan, self.unit, self.table, self.water = fs, plan, unit, table, water
        self.name = unit.name

    def out(self, name: str) -> Column:
        column = f"{self.name}.{name}"
        renamed = f"y.{column}"
        return self.table[renamed] if renamed in self.table else self.table[column]

    def stream(self, port: str, quantity: str) -> Column:
        """An outlet stream's quantity (flow m³/s, temperature_c °C, pressure_bar bar, component g/m³)."""
        return self.table[f"{self.name}.{port}.{quantity}"]

    def inlet(self, port: str, quantity: str) -> Column:
        """The same for the stream entering an inlet port."""
        wiring = _wiring(self.fs)
        source = wiring._links[(self.name, port)]
        return self.table[f"{wiring._label(source)}.{quantity}"]

    def slot(self, name: str) -> Column:
        """An input or parameter slot as the unit ran, in the slot's own unit: the row's value where it
        is varied, the entering stream's where a stream fills it, else the fixed value."""
        from .ports import CONVERSIONS

        unit = _model_unit(self)
        slot = unit.layout.resolve(name)
        bare = unit.layout.inputs[slot[1]].name if slot[0] == "u" else unit.layout.params[slot[1]].name
        for key in (f"{self.name}.{name}", f"{self.name}.{bare}", f"{self.name}.{slot[0]}.{bare}"):
            if key in self.plan.names:
                return self.table[key]
        if slot in unit.filled:
            port = unit.filled[slot].rpartition(".")[2]
            found = _stream_source(unit, unit.table.INLETS[port], slot)
            assert found is not None  # the port fills this slot, so one of its quantities does
            value = self.inlet(port, found[0])
            conversion = CONVERSIONS[found[1]]
            if conversion is not None:
                value = value * conversion[1] if conversion[0] == "mul" else value / conversion[1]
            return value
        return float((unit.u0 if slot[0] == "u" else unit.p0)[slot[1]])


def _flag_value(names: Callable[[CheckView], list[str]]) -> Callable[[CheckView], Column]:
    def value(view: CheckView) -> Column:
        # 1 when any of these flag outputs is not 0 (NaN included), else 0.
        found: Column = 0.0
        for name in names(view):
            found = np.maximum(found, np.where(view.out(name) == 0.0, 0.0, 1.0))
        return found

    return value


def _convergence_flags(view: CheckView) -> list[str]:
    return [name for name in _model_unit(view).table.FLAGS if name == "not_converged"]


def _other_flags(view: CheckView) -> list[str]:
    return [name for name in _model_unit(view).table.FLAGS if name != "not_converged"]


def _outlets(view: CheckView) -> list[str]:
    return [port for port in view.unit.outlets if f"{view.name}.{port}" in view.plan.streams]


def _nonfinite(view: CheckView) -> Column:
    # One sum per outlet stream: infinities and NaN survive a sum (inf - inf is NaN).
    total: Column = 0.0
    for port in _outlets(view):
        for q in ("flow", "temperature_c", "pressure_bar", *view.fs.components):
            total = total + view.stream(port, q)
    return np.where(np.isfinite(total), 0.0, 1.0)


def _lowest_temperature(view: CheckView) -> Column:
    t: Column = np.inf
    for port in _outlets(view):
        t = np.minimum(t, view.stream(port, "temperature_c"))
    return t


def _boiling_excess(view: CheckView) -> Column:
    # The largest excess of a stream temperature over its boiling point (°C), minus what stays.
    excess: Column = -np.inf
    for port in _outlets(view):
        excess = np.maximum(excess, view.stream(port, "temperature_c") - boiling_point_c(view.stream(port, "pressure_bar")))
    return excess


def _highest_solubility_ratio(view: CheckView) -> Column:
    ratio: Column = 0.0
    for component in view.fs.components:
        limit = SOLUBILITY.get(component.lower())
        if limit is None:
            continue
        for port in _outlets(view):
            ratio = np.maximum(ratio, view.stream(port, component) / limit)
    return ratio


# Checks every unit has. Their value functions take the view and `full(v)`, a column of v.
GENERIC = (
    Check("not_converged", "convergence flag", ("not_converged",), _flag_value(_convergence_flags), 0.0, "flag",
          "error", "the model's own diagnostics: an iteration stopped by its pass cap has not found the solution",
          message="{unit}: the model's iteration did not converge; its figures are not a solution",
          scale=1.0, applies=lambda v: bool(_convergence_flags(v))),
    Check("model_flag", "status flag", ("the model's status or input flag outputs",), _flag_value(_other_flags),
          0.0, "flag", "warning", "the model's own diagnostics (its DIAGNOSTICS table): a status that is not 0 "
          "means an input or result was replaced or floored",
          message="{unit}: the model reports a status that is not 0 (an input or result was replaced or floored; "
          "see its diagnostics)", scale=1.0, applies=lambda v: bool(_other_flags(v))),
    Check("non_finite", "non-finite stream values", ("every outlet stream",), _nonfinite, 0.0, "count", "error",
          "a stream with NaN or infinite quantities cannot exist",
          message="{unit}: a stream it sends on has a NaN or infinite quantity", scale=1.0,
          applies=lambda v: bool(_outlets(v))),
    Check("frozen", "lowest outlet temperature", ("outlet temperatures",), _lowest_temperature, 0.0, "°C", "error",
          "properties of water: no liquid water below 0 °C",
          upper=False, message="{unit}: a stream leaves at {value:.3g} °C, below freezing", scale=10.0,
          applies=lambda v: bool(_outlets(v))),
    Check("boiling", "outlet temperature above the boiling point", ("outlet temperatures", "outlet pressures"),
          _boiling_excess, 0.0, "K", "error",
          "properties of water: boiling point at the stream pressure (Antoine equation, 99-374 °C constants); "
          "a pressure below 1 atm read as 1 atm",
          message="{unit}: a stream leaves {value:.3g} K above its boiling point at its pressure", scale=10.0,
          applies=lambda v: bool(_outlets(v))),
    Check("solubility", "concentration / solubility", ("outlet components named salt, nacl or sodium_chloride",),
          _highest_solubility_ratio, 1.0, "fraction of solubility", "error",
          "solubility of sodium chloride in water, about 360 g/L at 25 °C (chemistry handbooks)",
          message="{unit}: a stream carries {value:.3g} times the solubility of its salt (360 g/L sodium chloride)",
          scale=1.0, applies=lambda v: bool(_outlets(v)) and any(c.lower() in SOLUBILITY for c in v.fs.components)),
)


# -- checks shared by the model tables -----------------------------------

FLUX_SOURCE = ("membrane manufacturers' design guidelines for 8-inch spiral-wound elements: average design "
               "flux by feed source (seawater 12-19, brackish well 20-28, surface water and tertiary effluent "
               "14-18, permeate 30-40 L/(m²·h))")
RATING_SOURCE = "element data sheets: maximum operating pressure 83 bar (seawater elements), 41 bar (brackish)"
TEMPERATURE_SOURCE = "element data sheets: maximum operating temperature 45 °C (polyamide thin-film composite)"
POLARISATION_SOURCE = ("membrane manufacturers' design guidelines: concentration polarisation factor at most 1.2 "
                       "(about 18 % recovery for a 1-metre element)")
OSMOTIC_SOURCE = ("van 't Hoff osmotic pressure (π = i·c/M·R·T): no water passes where the osmotic pressure "
                  "difference reaches the applied pressure difference")
CAP_SOURCE = "the model's own max_recovery parameter: the cap, not the membrane, decided the permeate flow"
OSMOTIC_MESSAGE = ("{unit}: concentrate osmotic pressure {value:.3g} bar exceeds the {limit:.3g} bar across the "
                   "membrane: recovery {recovery:.2f} is impossible at this pressure")


def flux_check(output: str, factor: float, *, limit: float | str = "flux", source: str = FLUX_SOURCE,
               what: str = "average flux") -> Check:
    """The average flux (output ``output`` times ``factor`` gives L/(m²·h)) against a guideline."""
    return Check("average_flux", what, (output,), lambda v: v.out(output) * factor, limit, "L/(m²·h)", "warning",
                 source, message="{unit}: " + what + " {value:.3g} L/(m²·h) is above the {limit:.3g} L/(m²·h) "
                 "guideline for this feed water", scale=10.0)


def pressure_check(slot: str) -> Check:
    return Check("feed_pressure", "feed pressure", (slot,), lambda v: v.slot(slot), "rating", "bar", "warning",
                 RATING_SOURCE, message="{unit}: feed pressure {value:.3g} bar is above the {limit:.3g} bar "
                 "element rating", scale=10.0)


def temperature_check(slot: str) -> Check:
    return Check("feed_temperature", "feed temperature", (slot,), lambda v: v.slot(slot), 45.0, "°C", "warning",
                 TEMPERATURE_SOURCE, message="{unit}: feed temperature {value:.3g} °C is above the {limit:.3g} °C "
                 "membrane limit", scale=10.0)


def recovery_cap_check() -> Check:
    return Check("max_recovery", "recovery", ("recovery_achieved", "max_recovery"),
                 lambda v: v.out("recovery_achieved"), lambda v: v.slot("max_recovery") * (1.0 - 1e-9),
                 "fraction", "warning", CAP_SOURCE, message="{unit}: recovery {value:.3g} was set by the model's "
                 "max_recovery cap, not by the membrane", scale=0.1, limit_doc="below the unit's max_recovery")


def polarisation_check(value: Callable[[CheckView], Column], reads: tuple[str, ...]) -> Check:
    return Check("polarisation", "concentration polarisation factor", reads, value, 1.2, "—", "warning",
                 POLARISATION_SOURCE, message="{unit}: concentration polarisation factor {value:.3g} is above "
                 "{limit:.3g}", scale=0.2)


def water_class_of(fs: CheckedPlant, unit: str, known: dict[str, str | None] | None = None) -> str | None:
    """The water class a unit's feed belongs to: that of the plant feed its main inlet traces back to;
    ``"permeate"`` when the way back first passes the permeate of a reverse osmosis or
    nanofiltration unit, ``"wastewater_effluent"`` when it passes a bioreactor's.

    ``known``: a dict node -> class shared by the calls over one plant; every node a way back
    passes shares its answer, so a plant's units are classed in linear time, not quadratic."""
    wiring = _wiring(fs)
    node, seen, path = unit, set[str](), list[str]()
    found: str | None = None
    while node not in seen:
        if known is not None and node in known:
            found = known[node]
            break
        seen.add(node)
        path.append(node)
        inlets = wiring._nodes[node].inlets
        if not inlets:
            break
        source = wiring._links.get((node, inlets[0]))
        if source is None:
            break
        node = source[0]
        if "permeate" in source[1]:
            model = getattr(wiring._nodes[node], "model", "")
            if model.startswith(("osmo", "nano")):
                found = "permeate"
                break
            if model.startswith("bio"):
                found = "wastewater_effluent"
                break
        feed = wiring._nodes[node]
        if feed.kind == "feed":
            found = fs.water_class(node)
            break
    if known is not None:
        known.update(dict.fromkeys(path, found))
    return found


# -- checks of a plan -----------------------------------------------------

RECYCLE = Check("recycle_converged", "recycle loops converged", ("converged",),
                lambda v: np.where(v.table["converged"] == 1.0, 0.0, 1.0), 0.0, "flag", "error",
                "successive substitution: a loop that did not meet its tolerance gives no steady state",
                message="plant: the recycle loops did not converge; the streams are not a steady state", scale=1.0)


def _feed_nonfinite(view: CheckView) -> Column:
    total: Column = 0.0
    for q in ("flow", "temperature_c", "pressure_bar", *view.fs.components):
        total = total + view.table[f"{view.name}.{q}"]
    return np.where(np.isfinite(total), 0.0, 1.0)


FEED_FINITE = Check("non_finite", "non-finite feed values", ("the feed's quantities",), _feed_nonfinite, 0.0, "count",
                    "error", "a stream with NaN or infinite quantities cannot exist",
                    message="{unit}: the feed has a NaN or infinite quantity", scale=1.0)


def _setting_nonfinite(view: CheckView) -> Column:
    total: Column = 0.0
    # The setting check is built over a plant view only, which carries the node's row variables.
    for name in cast(_PlantView, view).names:
        total = total + view.table[name]
    return np.where(np.isfinite(total), 0.0, 1.0)


SETTING_FINITE = Check("non_finite_setting", "non-finite varied settings", ("the row's values of the node",),
                       _setting_nonfinite, 0.0, "count", "error",
                       "a NaN or an infinity is no setting: what the model makes of it is no design",
                       message="{unit}: a varied setting is NaN or infinite", scale=1.0)


class _Columns:
    """Columns ``<name>.<quantity>`` of a table with no unit behind them: reading a unit, a slot or
    a stream of them raises AttributeError."""

    def __init__(self, name: str, table: Table, water: str | None = None) -> None:
        self.name, self.table, self.water = name, table, water

    def out(self, name: str) -> Column:
        return self.table[f"{self.name}.{name}"]

    def _missing(self, name: str) -> NoReturn:
        raise AttributeError(f"{type(self).__name__!r} object has no attribute {name!r}")

    @property
    def plan(self) -> PlanColumns:
        self._missing("plan")

    @property
    def unit(self) -> Node:
        self._missing("unit")

    def stream(self, port: str, quantity: str) -> Column:
        self._missing("stream")

    def inlet(self, port: str, quantity: str) -> Column:
        self._missing("inlet")

    def slot(self, name: str) -> Column:
        self._missing("slot")


class _PlantView(_Columns):
    """The plant's or a feed's columns (for the checks that belong to no unit); ``names``: the row
    variables a setting check reads."""

    def __init__(self, fs: CheckedPlant, name: str, table: Table) -> None:
        super().__init__(name, table)
        self.fs = fs
        self.names: Sequence[str] = ()


STREAM_CHECKS = tuple(c for c in GENERIC if c.name in ("non_finite", "frozen", "boiling", "solubility"))


class _ColumnView(_Columns):
    """Columns ``<name>.<quantity>`` of a table (an array's summaries, one stage's vessel figures)."""

    @property
    def fs(self) -> CheckedPlant:
        self._missing("fs")


class _ElementView(View):
    """One element of an array's representative vessel: its outputs and feed are the array's
    ``<array>.stage<k>.element<j>.*`` columns; its slots are the stage's, as the element ran."""

    def __init__(self, fs: CheckedPlant, plan: PlanColumns, array: MembraneArray, stage: int, element: int,
                 table: Table, water: str | None) -> None:
        super().__init__(fs, plan, array.stage_units[stage - 1], table, water)
        self.array, self.stage = array, stage
        self.name = f"{array.name}.stage{stage}.element{element}"

    def slot(self, name: str) -> Column:
        from .ports import CONVERSIONS

        unit, array, k = _model_unit(self), self.array, self.stage
        slot = unit.layout.resolve(name)
        bare = unit.layout.inputs[slot[1]].name if slot[0] == "u" else unit.layout.params[slot[1]].name
        # A slot fixed for one stage outranks the array's shared variable of the same slot.
        for key in (f"{array.name}.stage{k}.{name}", f"{array.name}.stage{k}.{bare}"):
            if key in self.plan.names:
                return self.table[key]
        if slot not in array.stage_fixed[k - 1]:
            for key in (f"{array.name}.{name}", f"{array.name}.{bare}"):
                if key in self.plan.names:
                    return self.table[key]
        found = _stream_source(unit, unit.table.INLETS["feed"], slot)
        if found is None:
            return float((unit.u0 if slot[0] == "u" else unit.p0)[slot[1]])
        value = self.table[f"{self.name}.feed_{found[0]}"]
        conversion = CONVERSIONS[found[1]]
        if conversion is not None:
            value = value * conversion[1] if conversion[0] == "mul" else value / conversion[1]
        return value


ARRAY_SOURCE = ("membrane manufacturers' design guidelines for 8-inch spiral-wound elements in pressure "
                "vessels: {}")
# Published design guidelines for spiral-wound elements of a membrane array (element recovery,
# flux, vessel flows, pressure drops, polarisation), as data. Each row: the per-element (or per-stage) column suffix, the array's summary
# column, comparison, limit, unit, severity, and what it guards.
ARRAY_GUIDELINES: tuple[tuple[str | None, str, str, float, str, str, str], ...] = (
    ("recovery", "max_element_recovery", "<=", 0.15, "fraction", "warning", "element recovery at most 15 %"),
    ("flux_lmh", "max_flux_lmh", "<=", 34.0, "L/(m²·h)", "warning", "element flux at most 32-36 L/(m²·h)"),
    ("polarisation_factor", "max_polarisation_factor", "<=", 1.2, "-", "warning",
     "concentration polarisation factor at most 1.2"),
    ("concentrate_flow_per_vessel", "min_concentrate_flow_per_vessel", ">=", 3.0 / 3600.0, "m³/s", "warning",
     "concentrate at least 3.0 m³/h per vessel"),
    ("feed_flow_per_vessel", "max_feed_flow_per_vessel", "<=", 15.0 / 3600.0, "m³/s", "warning",
     "feed at most 14-16 m³/h per vessel"),
    ("pressure_drop_bar", "max_pressure_drop_bar", "<=", 3.5, "bar", "warning",
     "pressure drop at most 3.5 bar per vessel"),
    (None, "element_pressure_drop_bar", "<=", 1.0, "bar", "warning", "pressure drop at most 1.0 bar per element"),
)

# The array's guideline rows (ARRAY_GUIDELINES) by the column they read: the check's
# name, what it is, where it applies (element, stage or array) and the factor to the check's units.
_ARRAY_GUIDES: dict[str | None, tuple[str, str, str, float, str]] = {
    "recovery": ("element_recovery", "element recovery", "element", 1.0, "fraction"),
    "flux_lmh": ("element_flux", "element flux", "element", 1.0, "L/(m²·h)"),
    "polarisation_factor": ("polarisation", "concentration polarisation factor", "element", 1.0, "—"),
    "concentrate_flow_per_vessel": ("concentrate_flow", "concentrate flow per vessel", "stage", 3600.0, "m³/h"),
    "feed_flow_per_vessel": ("feed_flow", "feed flow per vessel", "stage", 3600.0, "m³/h"),
    "pressure_drop_bar": ("vessel_pressure_drop", "pressure drop per vessel", "stage", 1.0, "bar"),
    None: ("element_pressure_drop", "pressure drop per element", "array", 1.0, "bar"),
}
_ARRAY_MODEL_CHECKS = {"osmotic_limit": "element", "max_recovery": "element", "feed_pressure": "first",
                       "feed_temperature": "first"}


def _scaled_out(key: str, factor: float) -> Callable[[CheckView], Column]:
    return lambda v: v.out(key) * factor


def array_checks() -> list[tuple[Check, str]]:
    """(check, where) of a membrane array besides its element model's own: ``where`` is "element"
    (every element of each stage's representative vessel), "stage" (its vessels) or "array"."""
    found: list[tuple[Check, str]] = []
    for column, summary, op, limit, units, severity, text in ARRAY_GUIDELINES:
        name, what, where, factor, shown = _ARRAY_GUIDES[column]
        key = summary if where == "array" or column is None else column  # only the array-wide row has none
        upper = op == "<="
        side = "above" if upper else "below"
        tail = "" if shown in ("fraction", "—") else " " + shown
        found.append((Check(name, what, (key,), _scaled_out(key, factor),
                            limit * factor, shown, severity, ARRAY_SOURCE.format(text), upper=upper,
                            message="{unit}: " + what + " {value:.3g}" + tail + " is " + side +
                            " the {limit:.3g}" + tail + " guideline", scale=0.1 * limit * factor), where))
    found.append((Check("average_flux", "average flux of the array", ("average_flux_lmh",),
                        lambda v: v.out("average_flux_lmh"), "flux", "L/(m²·h)", "warning", FLUX_SOURCE,
                        message="{unit}: average flux {value:.3g} L/(m²·h) is above the {limit:.3g} L/(m²·h) "
                        "guideline for this feed water", scale=10.0), "array"))
    return found


def _array_entries(fs: CheckedPlant, plan: PlanColumns, array: MembraneArray,
                   known: dict[str, str | None] | None = None) -> list[tuple[str, Check, ViewFactory, str]]:
    """(column, check, view factory, label) of every check of one membrane array."""
    water = water_class_of(fs, array.name, known)
    own = {c.name: c for c in model_checks(array.model)}
    found: list[tuple[str, Check, ViewFactory, str]] = []
    probe: CheckView = View(fs, plan, array, {}, water)
    for check in STREAM_CHECKS:
        if check.applies is None or check.applies(probe):
            found.append((f"check.{array.name}.{check.name}", check,
                          lambda table: View(fs, plan, array, table, water), array.name))
    extra = array_checks()
    for check, where in extra:
        if where == "array":
            found.append((f"check.{array.name}.{check.name}", check,
                          lambda table: _ColumnView(array.name, table, water), array.name))
    for k, n in enumerate(array.elements, 1):
        stage = f"{array.name}.stage{k}"
        for check, where in extra:
            if where == "stage":
                found.append((f"check.{stage}.{check.name}", check,
                              partial(_ColumnView, stage, water=water),
                              f"{array.name} stage {k}"))
        for j in range(1, n + 1):
            make: ViewFactory = partial(_ElementView, fs, plan, array, k, j, water=water)
            probe = make({})
            checks = [c for c in GENERIC if c.name in ("not_converged", "model_flag")]
            checks += [c for name, c in own.items() if _ARRAY_MODEL_CHECKS.get(name) == "element"
                       or (_ARRAY_MODEL_CHECKS.get(name) == "first" and j == 1)]
            checks += [c for c, where in extra if where == "element"]
            for check in checks:
                if check.applies is None or check.applies(probe):
                    found.append((f"check.{stage}.element{j}.{check.name}", check, make,
                                  f"{array.name} stage {k} element {j}"))
    return found


def node_checks(fs: CheckedPlant, name: str) -> dict[str, Check]:
    """Check name -> check, of every check a unit, array, heater or cooler can have (for limits)."""
    node = _wiring(fs)._nodes[name]
    if node.kind == "array":
        own = {c.name: c for c in model_checks(cast(MembraneArray, node).model) if c.name in _ARRAY_MODEL_CHECKS
               or c.name in ("not_converged", "model_flag")}
        return {**{c.name: c for c in STREAM_CHECKS}, **own, **{c.name: c for c, _ in array_checks()}}
    if hasattr(node, "model"):
        return {c.name: c for c in model_checks(node.model)}
    if name in fs.thermal:
        return {c.name: c for c in STREAM_CHECKS}
    return {}


def model_checks(model: str) -> tuple[Check, ...]:
    """The checks of a model: those every unit has, then the model table's own ``CHECKS``."""
    from .ports import ports_table as _ports_table

    return (*GENERIC, *getattr(_ports_table(model), "CHECKS", ()))


# (margin column, unit name, check, the limit the user set or None) of one check of a plan.
Entry = tuple[str, str, Check, float | None]


def _entries(fs: CheckedPlant, plan: PlanColumns) -> list[Entry]:
    """(column, unit name, check, override) of every check a plan's table computes, once per plan.

    ``override``: the limit the user set (a number), or None. Where each check reads its quantities
    (a view factory) and the name its findings give are kept beside, in the plan's ``memo``."""
    found = cast("list[Entry] | None", plan.memo.get("table_check_entries"))
    if found is not None:
        return found
    entries: list[Entry] = []
    where: dict[str, tuple[ViewFactory, str]] = {}
    known: dict[str, str | None] = {}  # node -> water class, shared by the units' ways back to their feeds

    def add(column: str, unit: str, check: Check, make: ViewFactory, label: str) -> None:
        override = settings.get((unit, check.name))
        if override == "off":
            return
        entries.append((column, unit, check, cast("float | None", override)))  # a number once "off" is out
        where[column] = (make, label)

    # (unit, check) -> the limit the user set, or "off"
    settings: Mapping[tuple[str, str], float | str] = getattr(fs, "_check_limits", {})
    if plan.tears:
        add("check.plant.recycle_converged", "plant", RECYCLE,
            lambda table: _PlantView(fs, "plant", table), "plant")
    for name, feed in fs.feeds.items():
        add(f"check.{name}.non_finite", name, FEED_FINITE,
            partial(_PlantView, fs, name), name)
    varied: Mapping[str, object] = getattr(plan, "varied", {})
    for owner in varied:
        # A unit, heater, cooler or array setting given in the row: a NaN or an infinity there is an
        # error even where the model turns it into a clean figure.
        names = [n for n in plan.names if n.partition(".")[0] == owner]

        def make(table: Table, node: str = owner, names: list[str] = names) -> CheckView:
            view = _PlantView(fs, node, table)
            view.names = names
            return view
        add(f"check.{owner}.non_finite_setting", owner, SETTING_FINITE, make, owner)
    for unit in fs.units.values():
        water = water_class_of(fs, unit.name, known)
        probe = View(fs, plan, unit, {}, water)
        for check in model_checks(unit.model):
            if check.applies is not None and not check.applies(probe):
                continue
            add(f"check.{unit.name}.{check.name}", unit.name, check,
                partial(View, fs, plan, unit, water=water), unit.name)
    for node in fs.thermal.values():
        # A heater or cooler: the streams it sends on must be finite liquid water.
        probe = View(fs, plan, node, {}, None)
        for check in STREAM_CHECKS:
            if check.applies is None or check.applies(probe):
                add(f"check.{node.name}.{check.name}", node.name, check,
                    partial(View, fs, plan, node, water=None), node.name)
    for array in fs.arrays.values():
        for column, check, factory, label in _array_entries(fs, plan, array, known):
            add(column, array.name, check, factory, label)
    # Kept on the plan itself, so the checks are laid out once however often its table is built.
    plan.memo["table_check_entries"] = entries
    plan.memo["table_check_where"] = where
    return entries


def _where(plan: PlanColumns) -> dict[str, tuple[ViewFactory, str]]:
    """Margin column -> (view factory, label) of a plan whose checks :func:`_entries` laid out."""
    return cast("dict[str, tuple[ViewFactory, str]]", plan.memo["table_check_where"])


check_entries = _entries  # public name: the optimiser reads which checks bind


def check_columns(fs: CheckedPlant, plan: PlanColumns) -> list[str]:
    """The margin columns of a plan's table, in table order."""
    return [column for column, _, _, _ in _entries(fs, plan)]


def _view(fs: CheckedPlant, plan: PlanColumns, column: str, table: Table) -> CheckView:
    _entries(fs, plan)
    return _where(plan)[column][0](table)


def _limit(check: Check, view: CheckView, override: float | None) -> Column:
    if override is not None:
        return override
    if callable(check.limit):
        return check.limit(view)
    if isinstance(check.limit, str):
        cls = WATER_CLASSES[view.water or "surface"]
        return getattr(cls, check.limit)
    return check.limit


def value_and_limit(fs: CheckedPlant, plan: PlanColumns, column: str, check: Check, override: float | None,
                    table: Table) -> tuple[Column, Column]:
    view = _view(fs, plan, column, table)
    return check.value(view), _limit(check, view, override)


def margins(fs: CheckedPlant, plan: PlanColumns, table: Table,
            full: Callable[[float], Column]) -> tuple[dict[str, Column], Column, Column]:
    """(margin columns by name, errors, warnings) of a table (arrays or traced columns); ``full(v)``
    gives a column of the constant v."""
    columns: dict[str, Column] = {}
    counts = {"error": full(0.0), "warning": full(0.0)}
    with np.errstate(all="ignore"):
        for column, unit, check, override in _entries(fs, plan):
            value, limit = value_and_limit(fs, plan, column, check, override, table)
            margin = limit - value if check.upper else value - limit
            if isinstance(margin, (int, float, np.floating)):
                margin = full(float(margin))
            columns[column] = margin
            # A margin that is not a number counts as outside.
            counts[check.severity] = counts[check.severity] + np.where(margin >= 0.0, 0.0, 1.0)
    return columns, counts["error"], counts["warning"]


def findings(fs: CheckedPlant, plan: PlanColumns, row: Mapping[str, float]) -> list[Finding]:
    """The findings of one solved row (a dict column -> float): errors first."""
    found: list[Finding] = []
    one: dict[str, NDArray[np.float64]] | None = None
    for column, unit, check, override in _entries(fs, plan):
        margin = row.get(column)
        if margin is None or margin >= 0.0:
            continue
        if one is None:
            one = {k: np.array([v]) for k, v in row.items()}
        with np.errstate(all="ignore"):
            value, limit = value_and_limit(fs, plan, column, check, override, one)
            view = _view(fs, plan, column, one)
        value, limit = float(np.asarray(value).reshape(-1)[0]), float(np.asarray(limit).reshape(-1)[0])
        label = _where(plan)[column][1]
        out: dict[str, float | None] = {}
        if unit in plan.unit_outputs:
            for name, _ in plan.unit_outputs[unit]:
                key = f"{unit}.{name}"
                out[name] = row.get(f"y.{key}", row.get(key))
        elif isinstance(view, _ElementView):
            head = view.name + "."
            out = {key[len(head):]: v for key, v in row.items() if key.startswith(head)}
        recovery = out.get("recovery_achieved", out.get("overall_recovery"))
        permeate, concentrate = out.get("permeate_flow"), out.get("concentrate_flow")
        if recovery is None and permeate is not None and concentrate is not None:
            total = permeate + concentrate
            # A unit that passes no water has no recovery (NaN in the message), not a crash.
            recovery = permeate / total if total != 0.0 else float("nan")
        permeate, concentrate = out.get("permeate_flow_m3h"), out.get("concentrate_flow_m3h")
        if recovery is None and permeate is not None and concentrate is not None:
            total = permeate + concentrate
            recovery = permeate / total if total != 0.0 else float("nan")
        text = (check.message or "{unit}: " + check.what + " {value:.3g} {units} is outside the limit {limit:.3g} "
                "{units}").format(unit=label, value=value, limit=limit, units=check.units, out=out,
                                  recovery=recovery if recovery is not None else float("nan"))
        if override is not None:
            text += " (limit set for this plant)"
        name = column[len(f"check.{unit}."):]
        found.append(Finding(unit, name, check.severity, value, limit, check.units, text))
    found.sort(key=lambda f: SEVERITIES.index(f.severity))
    return found


def changed_limits(fs: CheckedPlant) -> list[str]:
    """One line per limit the user changed or check switched off: "unit.check: 20 (default 17 ...)"."""
    lines = []
    settings: Mapping[tuple[str, str], float | str] = getattr(fs, "_check_limits", {})
    for (unit, name), value in settings.items():
        check = node_checks(fs, unit).get(name)
        default = check.limit_text() if check is not None else "?"
        units = check.units if check is not None else "?"
        now = "switched off" if value == "off" else f"limit {value:g} {units}"
        lines.append(f"{unit}.{name}: {now} (default {default})")
    return lines
