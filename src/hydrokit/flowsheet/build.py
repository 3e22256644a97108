"""The ``Flowsheet``: a plant built by naming its nodes and joining them by streams.

Every mistake is caught here or when the flowsheet is compiled for a solve,
with a message that names what is wrong and the valid choices. The nodes and
limits are in :mod:`hydrokit.flowsheet.nodes`; compiling, running and the
result are in the modules below this one (``plan``, ``execution``,
``results``), which never import it.
"""

from __future__ import annotations

import collections
import itertools
import math
import operator
import types
from collections.abc import Callable, Hashable, Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any

from ..ports import COMPONENT_KINDS
# The nodes and limits, also reached here as before (hydrokit.flowsheet.build.<name>).
from .nodes import (AMBIENT_BAR, DEFAULT_TEAR_START, FEED_DEFAULTS, MAX_COMPONENTS, MAX_ELEMENTS,  # noqa: F401
                    MAX_ITERATIONS, MAX_NAME, MAX_NODES, MAX_PORTS, MAX_TOTAL_PORTS, NAME_PATTERN, PLAN_CACHE,
                    RESERVED, STREAM_QUANTITIES, Feed, FlowsheetError, Mixer, Splitter, Thermal, Unit, choice_list,
                    finite_number, moving_count_slots, ports_table, short_text, whole_count)
from .results import Result

if TYPE_CHECKING:  # building a flowsheet loads neither NumPy nor the plan compiler
    from typing import TypeAlias

    import numpy as np
    from numpy.typing import ArrayLike, NDArray

    from .array import Array
    from .plan import Plan, Stream
    from .execution import CompiledRun

    Node: TypeAlias = Feed | Unit | Mixer | Splitter | Thermal | Array

_choices = choice_list
_short = short_text
_number = finite_number

__all__ = ["AMBIENT_BAR", "DEFAULT_TEAR_START", "FEED_DEFAULTS", "MAX_COMPONENTS", "MAX_ELEMENTS", "MAX_ITERATIONS",
           "MAX_NAME", "MAX_NODES", "MAX_PORTS", "MAX_TOTAL_PORTS", "NAME_PATTERN", "PLAN_CACHE", "RESERVED",
           "STREAM_QUANTITIES", "Feed", "Flowsheet", "FlowsheetError", "Mixer", "Splitter", "Thermal", "Unit",
           "choice_list", "finite_number", "moving_count_slots", "ports_table", "short_text", "whole_count"]


class Flowsheet:
    """A plant: feeds, units, mixers and splitters joined by streams.

    A flowsheet is built by naming its nodes (:meth:`feed`, :meth:`unit`,
    :meth:`mixer`, :meth:`splitter`), joining outlets to inlets
    (:meth:`connect`) and naming the streams that leave as products
    (:meth:`product`). It is compiled to a plan the batch extension executes:
    :meth:`solve` runs one operating point, :meth:`sweep` and
    :meth:`evaluate` many, :meth:`optimize` searches a design.

    Every stream carries the same quantities: ``flow`` in m³/s,
    ``temperature_c`` in °C, ``pressure_bar`` in bar (absolute) and each
    component as a mass concentration in g/m³. A stream is named
    ``"unit.port"``; a feed by its name alone; a port may be left out where
    the node has one port on that side (``"hp"`` for ``"hp.outlet"``).

    Recycle loops are found and torn by the flowsheet (or at the streams
    named with :meth:`tear`) and solved by successive substitution with
    bounded Wegstein acceleration, until the largest relative change of any
    tear-stream quantity over one pass is at most ``tolerance``, or for at
    most ``max_iterations`` passes. A solve never raises when a loop does
    not converge: the result says so (``converged``, ``residual``).

    Parameters
    ----------
    components : str, iterable of str or dict, optional
        Names of what the streams carry (identifiers other than ``flow``,
        ``temperature_c`` and ``pressure_bar``), each in g/m³, or a dict
        name -> kind: ``"dissolved"`` (salts and ions), ``"suspended"``
        (particles, colloids), ``"organic"`` (biodegradable matter),
        ``"nutrient"`` (nitrogen and phosphorus species a bioreactor
        converts). Names alone are all dissolved. A component fills only the
        model slots that take its kind; a unit that does not model it passes
        it as physics says (dissolved salts through ultrafiltration,
        microfiltration and a bioreactor's membrane unchanged, suspended
        solids into a reverse-osmosis or nanofiltration concentrate) or the
        unit is a build error. Default: none.
    tolerance : float, optional
        Largest relative change of a tear stream's quantities that counts as
        converged (default 1e-10; must be positive).
    max_iterations : int, optional
        Most passes of a recycle loop (default 200; at least 1).
    ambient_pressure_bar : float, optional
        The pressure around the plant, bar absolute (default 1, standard
        pressure). Permeates of models that take the whole feed pressure as
        the pressure across the membrane leave at it; a unit's own permeate
        pressure setting may not be below it.

    Attributes
    ----------
    components : tuple of str
        The component names, in order.
    kinds : dict
        Component name -> kind.
    tolerance : float
    max_iterations : int
    ambient_pressure_bar : float

    Raises
    ------
    FlowsheetError
        For a component name that is not an identifier, is a stream
        quantity or is given twice, an unknown component kind; a tolerance that is not positive; or
        ``max_iterations`` < 1.
    TypeError
        For a ``max_iterations`` that is not an integer.

    Examples
    --------
    ``fs``, the seawater example plant (built in :mod:`hydrokit.flowsheet`),
    and ``res = fs.solve()``: seawater (1 L/s, 35 000 g/m³ salt) raised by a
    pump to about 60 bar, through a segmented RO vessel, its brine let down by
    energy recovery:

    >>> res.converged, res.flagged
    (True, 0)
    >>> round(res.kpis["recovery"], 3), round(res.kpis["specific_energy_kwh_m3"], 3)  # -, kWh/m³
    (0.444, 2.964)
    >>> res.valid, [f.check for f in res.checks]                  # no design-check finding
    (True, [])
    """

    # The class of what solve, row_solver and the lazy results build: hydrokit.flowsheet's Flowsheet
    # gives its own Result, which adds the economics.
    result_type = Result

    def __init__(self, components: str | Iterable[str] | Mapping[str, str] = (), *, tolerance: float = 1e-10,
                 max_iterations: int = 200, ambient_pressure_bar: float = AMBIENT_BAR) -> None:
        if isinstance(components, str):
            components = [components]
        if isinstance(components, Mapping):
            kinds = dict(components)
            components = list(kinds)
        else:
            components = list(itertools.islice(components, MAX_COMPONENTS + 1))
            kinds = {c: "dissolved" for c in components if isinstance(c, str)}
        comps: list[str] = []
        seen: set[str] = set()
        for c in components:
            if len(comps) >= MAX_COMPONENTS:
                raise FlowsheetError(f"a flowsheet carries at most {MAX_COMPONENTS:_} components")
            if not isinstance(c, str) or not NAME_PATTERN.match(c) or c in STREAM_QUANTITIES or len(c) > MAX_NAME:
                raise FlowsheetError(f"component name {_short(c)} must be an identifier of at most {MAX_NAME} "
                                     f"characters other than {_choices(STREAM_QUANTITIES)}")
            if c in seen:
                raise FlowsheetError(f"component {c!r} given twice")
            comps.append(c)
            seen.add(c)
        self._components = tuple(comps)
        for c in comps:
            if kinds[c] not in COMPONENT_KINDS:
                raise FlowsheetError(f"component {c!r}: unknown kind {_short(kinds[c])}; choose from: "
                                     f"{_choices(COMPONENT_KINDS)}")
        self._kinds = types.MappingProxyType({c: kinds[c] for c in comps})
        ambient = _number(ambient_pressure_bar, "ambient_pressure_bar")
        if not (ambient > 0 and math.isfinite(ambient)):
            raise FlowsheetError(f"ambient_pressure_bar must be a positive number of bar, got {_short(ambient_pressure_bar)}")
        self._ambient_pressure_bar = ambient
        # row names -> plan, the most recently used last
        self._plans: collections.OrderedDict[tuple[str, ...], Plan] = collections.OrderedDict()
        self.tolerance = tolerance
        self.max_iterations = max_iterations
        self._nodes: dict[str, Node] = {}  # name -> Feed | Unit | Mixer | Splitter, in the order added
        self._links: dict[Stream, Stream] = {}      # (target name, inlet port) -> (source name, outlet port)
        self._used: dict[Stream, str] = {}          # (source name, outlet port) -> "target.port" or "product NAME"
        self._products: dict[str, Stream] = {}      # product name -> (source name, outlet port)
        self._tears: dict[Stream, dict[str, float]] = {}  # (source name, outlet port) -> start quantities
        self._version = 0
        self._ports = 0      # inlets and outlets of every node

    @property
    def components(self) -> tuple[str, ...]:
        """The component names, in order (fixed when the flowsheet is made)."""
        return self._components

    @property
    def kinds(self) -> Mapping[str, str]:
        """Component name -> kind (fixed when the flowsheet is made)."""
        return self._kinds

    @property
    def ambient_pressure_bar(self) -> float:
        """The pressure around the plant, bar absolute (fixed when the flowsheet is made)."""
        return self._ambient_pressure_bar

    @property
    def tolerance(self) -> float:
        """Largest relative change of a tear quantity that counts as converged; setting it takes
        effect at the next solve."""
        return self._tolerance

    @tolerance.setter
    def tolerance(self, tolerance: float) -> None:
        if isinstance(tolerance, bool):
            raise FlowsheetError(f"tolerance must be a number, got {tolerance!r}")
        try:
            value = _number(tolerance, "tolerance")
        except FlowsheetError:
            raise FlowsheetError(f"tolerance must be a finite positive number, got {_short(tolerance)}") from None
        if not value > 0:
            raise FlowsheetError(f"tolerance must be positive, got {tolerance!r}")
        self._tolerance = value
        self._plans.clear()  # the plans hold the tolerance

    @property
    def max_iterations(self) -> int:
        """Most passes of a recycle loop; setting it takes effect at the next solve."""
        return self._max_iterations

    @max_iterations.setter
    def max_iterations(self, max_iterations: int) -> None:
        if isinstance(max_iterations, bool):
            raise TypeError(f"max_iterations must be a whole number, got {max_iterations!r}")
        operator.index(max_iterations)  # TypeError for what is not a whole number
        self._max_iterations = whole_count(max_iterations, "max_iterations", 1, MAX_ITERATIONS)
        self._plans.clear()  # the plans hold the cap

    def __repr__(self) -> str:
        from .views import flowsheet_repr

        return flowsheet_repr(self)

    def _repr_html_(self) -> str:
        from .views import flowsheet_html

        return flowsheet_html(self)

    def diagram(self, result: Result[Flowsheet] | None = None) -> str:
        """The plant drawn as an SVG document (text): feeds left, products right, units as boxes.

        With a ``result`` of this flowsheet, streams are labelled with flow, pressure and the main
        concentration in engineering units, and units with a finding are marked. Recycles are drawn
        as dashed back edges under the plant. ``hydrokit.display.diagram.save`` writes it to a file.
        """
        from .diagram import diagram

        return diagram(self, result)

    # -- building ---------------------------------------------------------

    def _check_name(self, name: str) -> None:
        if not isinstance(name, str) or not NAME_PATTERN.match(name) or name in RESERVED or len(name) > MAX_NAME:
            raise FlowsheetError(f"name {_short(name)} must be an identifier (letters, digits, _ and -) of at most "
                                 f"{MAX_NAME} characters other than {_choices(sorted(RESERVED))}")
        if name in self._nodes:
            raise FlowsheetError(f"name {name!r} is already used by {self._nodes[name]!r}")
        if name in self._products:
            raise FlowsheetError(f"name {name!r} is already a product's name")
        if len(self._nodes) >= MAX_NODES:
            raise FlowsheetError(f"a flowsheet holds at most {MAX_NODES:_} feeds, units, mixers, splitters, "
                                 f"heaters, coolers and arrays")

    def _add(self, node: Node) -> None:
        name = node.name
        self._check_name(name)
        ports = len(node.inlets) + len(node.outlets)
        if self._ports + ports > MAX_TOTAL_PORTS:
            raise FlowsheetError(f"{node.kind} {name!r}: a flowsheet holds at most {MAX_TOTAL_PORTS:_} "
                                 f"inlets and outlets together")
        self._nodes[name] = node
        self._ports += ports
        self._changed()

    def _changed(self) -> None:
        self._version += 1
        self._plans.clear()

    def _stream_values(self, what: str, values: Mapping[str, object],
                       defaults: Mapping[str, float]) -> dict[str, float]:
        known = (*STREAM_QUANTITIES, *self.components)
        out = dict(defaults)
        for key, value in values.items():
            if key not in known:
                raise FlowsheetError(f"{what}: unknown quantity {key!r}; choose from: {_choices(known)}")
            out[key] = _number(value, f"{what}: {key}")
        for c in self.components:
            out.setdefault(c, 0.0)
        return out

    def feed(self, name: str, *, utility: bool = False, water: str | None = None, **values: float) -> None:
        """A stream entering the plant: ``flow`` (m³/s, required), ``temperature_c``
        (°C, default 25), ``pressure_bar`` (bar, default 1) and components (g/m³, default 0).

        ``utility=True``: a cooling or heating loop rather than water to treat,
        left out of ``kpi.feed_flow`` and so of the recovery.

        Parameters
        ----------
        name : str
            The feed's name, also its stream's name (an identifier other
            than the reserved ``kpi``, ``power``, ``tear``, ``y``, ``u``,
            ``p``, ``converged``, ``iterations``, ``residual``, ``flagged``).
        utility : bool, optional
            True for a cooling or heating loop (default False).
        water : str, optional
            The feed's water class, which sets the design checks' guideline
            flux and element pressure rating: one of
            ``hydrokit.checks.WATER_CLASSES`` (``"seawater_well"``,
            ``"seawater_open"``, ``"seawater"``, ``"brackish_well"``,
            ``"brackish_surface"``, ``"surface"``, ``"wastewater_effluent"``,
            ``"permeate"``). Default: inferred from the dissolved content
            (the sum of the components): seawater from 10 000 g/m³,
            brackish well water from 1 000 g/m³, else surface water.
        **values : float
            ``flow`` in m³/s (required), ``temperature_c`` in °C,
            ``pressure_bar`` in bar (absolute) and any component by name in
            g/m³. Each may be varied later as ``"<feed>.<quantity>"``.

        Raises
        ------
        FlowsheetError
            Without ``flow``; for an unknown quantity, a value that is not a
            number, a ``utility`` that is not a bool, or a name that is
            reserved, not an identifier or already used.

        Examples
        --------
        >>> import hydrokit
        >>> fs = hydrokit.Flowsheet(components=["salt"])
        >>> fs.feed("sea", flow=1e-3, temperature_c=20, salt=35000)  # m³/s, °C, g/m³
        >>> fs.feed("coolant", flow=2e-3, temperature_c=10, utility=True)
        >>> dict(fs.feeds["sea"].values)         # read-only: vary a quantity in solve or sweep
        {'temperature_c': 20.0, 'pressure_bar': 1.0, 'flow': 0.001, 'salt': 35000.0}
        >>> fs.feeds["coolant"].utility
        True
        """
        if "flow" not in values:
            raise FlowsheetError(f"feed {name!r}: flow (m³/s) is required")
        if not isinstance(utility, bool):
            raise FlowsheetError(f"feed {name!r}: utility must be true or false, got {utility!r}")
        from ..checks import WATER_CLASSES

        if water is not None and water not in WATER_CLASSES:
            raise FlowsheetError(f"feed {name!r}: unknown water class {water!r}; choose from: {_choices(WATER_CLASSES)}")
        values = self._stream_values(f"feed {name!r}", values,
                                     dict(FEED_DEFAULTS, pressure_bar=self.ambient_pressure_bar))
        self._add(Feed(name, values, utility, water))

    def water_class(self, feed: str) -> str:
        """The water class of a feed: the one given to :meth:`feed`, else inferred from its
        dissolved content (see :meth:`feed`)."""
        from ..checks import infer_water_class

        node = self._node(feed, "feed")
        if not isinstance(node, Feed):
            raise FlowsheetError(f"{feed!r} is not a feed")
        if node.water is not None:
            return node.water
        # Only what is dissolved sets the class (suspended solids and organics do not).
        return infer_water_class(sum(node.values.get(c, 0.0) for c in self.components
                                     if self.kinds.get(c, "dissolved") == "dissolved"))

    def water_classes(self) -> dict[str, tuple[str, bool]]:
        """Feed -> (water class, True when inferred rather than given), for every feed that is not a utility."""
        return {name: (self.water_class(name), feed.water is None)
                for name, feed in self.feeds.items() if not feed.utility}

    def check_limit(self, unit: str, check: str, limit: float | str | None) -> None:
        """Change a design check's limit for one unit, or switch the check off.

        Parameters
        ----------
        unit : str
            A model unit's, membrane array's, heater's or cooler's name.
        check : str
            One of its checks (``hydrokit.checks.node_checks(fs, unit)``, e.g.
            ``"average_flux"``, ``"feed_pressure"``, ``"osmotic_limit"``; an array's
            ``"element_flux"`` and the other guidelines apply to every element or vessel).
        limit : float, "off" or None
            The new limit in the check's units; ``"off"`` switches the check off; None restores
            the default. A limit computed from the point (the osmotic limit) can only be
            switched off.

        Examples
        --------
        >>> import hydrokit
        >>> fs = hydrokit.Flowsheet(components=["salt"])
        >>> fs.unit("ro", "osmoaxial")
        >>> fs.check_limit("ro", "average_flux", 20)                 # L/(m²·h)
        >>> fs.check_limit("ro", "max_recovery", "off")
        """
        from ..checks import node_checks

        node = self._node(unit, "unit")
        checks = node_checks(self, unit)
        if not checks:
            raise FlowsheetError(f"{unit!r} is not a model unit, array, heater or cooler")
        if check not in checks:
            what = getattr(node, "model", getattr(node, "kind", ""))
            raise FlowsheetError(f"unit {unit!r} ({what}) has no check {check!r}; choose from: "
                                 f"{_choices(checks)}")
        # (unit, check) -> limit in the check's units, or "off"
        limits: dict[tuple[str, str], float | str] = self.__dict__.setdefault("_check_limits", {})
        if limit is None:
            limits.pop((unit, check), None)
        elif limit == "off":
            limits[(unit, check)] = "off"
        else:
            if checks[check].computed:
                raise FlowsheetError(f"unit {unit!r}: the {check} limit is computed from each point; "
                                     f"it can only be switched off")
            value = _number(limit, f"unit {unit!r}: limit of {check}")
            if not math.isfinite(value):
                raise FlowsheetError(f"unit {unit!r}: limit of {check} must be finite, got {limit!r}")
            limits[(unit, check)] = value
        self._changed()

    def unit(self, name: str, model: str, *, components: Mapping[str, str] | None = None, **settings: float) -> None:
        """A model unit; ``settings`` fix any of its input or parameter slots by name
        (``u.name``/``p.name`` where a name is in both vectors).

        The unit's inlet streams fill the slots of its inlet ports (flow,
        temperature, pressure, components, converted to the model's units);
        every other slot keeps the model default unless fixed here, and a
        component slot that no flowsheet component fills is 0. The model's
        ports, slots and units are listed by ``python -m hydrokit MODEL
        --help`` and ``hydrokit.layout.layout(model)``.

        Parameters
        ----------
        name : str
            The unit's name (an identifier, not reserved, not yet used).
        model : str
            A model with ports, such as ``"pump"`` or ``"osmolumped"``.
        components : dict, optional
            Component slot -> flowsheet component, e.g. ``{"solute1":
            "salt"}``, where the flowsheet's components are not the model's
            first component slots in order. Default: the flowsheet's
            components fill the model's component slots in order.
        **settings : float
            Slot name -> value, in the slot's own unit (see the layout).
            Each may also be varied in a solve or sweep as ``"<unit>.<slot>"``.

        Raises
        ------
        FlowsheetError
            For an unknown model or one without ports; an unknown slot, or
            one a stream fills, the flowsheet sets (a component count) or
            holds at its default; a value that is not a number; more
            components than the unit carries or a bad ``components`` map;
            a name that is reserved, not an identifier or already used.

        Examples
        --------
        >>> import hydrokit
        >>> fs = hydrokit.Flowsheet(components=["salt"])
        >>> fs.unit("hp", "pump", pressure_rise_bar=59, pump_efficiency=0.8)  # bar, -
        >>> fs.units["hp"].model, fs.units["hp"].settings["pressure_rise_bar"]
        ('pump', 59.0)
        >>> fs.unit("hp2", "pump", inlet_pressure_bar=3)
        Traceback (most recent call last):
        ...
        hydrokit.flowsheet.nodes.FlowsheetError: unit 'hp2': slot 'inlet_pressure_bar' is filled by the stream at hp2.inlet; set that stream instead
        """
        if not isinstance(model, str):
            raise FlowsheetError(f"unit {name!r}: model must be a model name, not {type(model).__name__}")
        self._add(Unit(name, model, settings, components, self.components, self.kinds))

    # element_pressure_drop_bar: float; components: a mapping slot -> component or None; datasheet: a
    # mapping of figures or None; fouling_factor, design_temperature_c: float or None. Typed loosely
    # so that per-stage slots can be passed as **{"stage2.slot": value} beside them.
    def array(self, name: str, model: str, *, stages: Iterable[Iterable[int]], element_area: float,
              element_pressure_drop_bar: Any = 0.2, components: Any = None, datasheet: Any = None,
              fouling_factor: Any = None, design_temperature_c: Any = None, **element_slots: float) -> None:
        """A membrane array: stages of pressure vessels, each holding elements in series.

        ``stages``: ``[(vessels, elements), ...]``; stage k + 1 is fed by the
        concentrate of stage k. Ports: ``feed`` in; ``permeate`` (all stages
        mixed), ``stage<k>_permeate`` and ``concentrate`` (the last stage's)
        out. ``element_area`` (m² per element) and
        ``element_pressure_drop_bar`` (bar per element, constant) describe
        the element; ``element_slots`` fix the element model's slots for
        every element (``permeability=...``) or per stage
        (``**{"stage2.permeability": ...}``); ``stage<k>.vessels``,
        ``stage<k>.booster_bar`` and ``stage<k>.booster_efficiency`` (an
        interstage booster before stage k, counted as pump power) are set
        the same way. Every one of these may be varied as
        ``"<array>.<name>"``; vessel counts take whole numbers.

        ``datasheet``: the element's datasheet (see
        :func:`hydrokit.membranes.fit_element`: ``permeate_flow`` m³/s,
        ``salt_rejection`` and the test conditions), from which the
        permeability and salt permeability are fitted;
        ``fouling_factor`` multiplies the permeability and
        ``design_temperature_c`` applies the temperature correction factor
        to it (both off unless given). ``fs.arrays[name].report`` says what
        was applied. The semantics are those of
        :mod:`hydrokit.flowsheet.array`.

        Examples
        --------
        >>> import hydrokit
        >>> fs = hydrokit.Flowsheet(components=["salt"])
        >>> fs.feed("well", flow=0.02, pressure_bar=13, salt=2000)   # m³/s, bar, g/m³
        >>> fs.array("ro", "osmolumped", stages=[(4, 6), (2, 6)], element_area=37,
        ...          permeability=1.1e-11, salt_permeability=1.5e-8, mass_transfer_coeff=6e-5)
        >>> fs.connect("well", "ro.feed"); fs.product("water", "ro.permeate")
        >>> res = fs.solve()
        >>> [r["element"] for r in res.elements("ro")][:3]
        [1, 2, 3]
        """
        from .array import Array, check_stages
        from ..membranes import fill_from_datasheet

        # Everything checked before a datasheet is fitted or an element laid out.
        what = f"array {name!r}"
        self._check_name(name)
        stages = check_stages(name, stages)
        elements = sum(e for _, e in stages) + sum(sum(a.elements) for a in self.arrays.values())
        if elements > MAX_ELEMENTS:
            raise FlowsheetError(f"{what}: the arrays would model {elements:_} elements; a flowsheet models at "
                                 f"most {MAX_ELEMENTS:_}")
        element_area = _number(element_area, f"{what}: element_area")
        if datasheet is not None:
            if not isinstance(datasheet, Mapping):
                raise FlowsheetError(f"{what}: datasheet must be a dict of figures, got {_short(datasheet)}")
            datasheet = {k: _number(v, f"{what}: datasheet {_short(k, 40)}") for k, v in datasheet.items()}
        if fouling_factor is not None:
            fouling_factor = _number(fouling_factor, f"{what}: fouling_factor")
        if design_temperature_c is not None:
            design_temperature_c = _number(design_temperature_c, f"{what}: design_temperature_c")
            if not 0.0 <= design_temperature_c <= 100.0:
                raise FlowsheetError(f"{what}: design_temperature_c must lie in [0, 100] °C (liquid water), "
                                     f"got {design_temperature_c!r}")
        slots = {k: _number(v, f"{what}: {_short(k, 40)}") for k, v in element_slots.items()}
        report = fill_from_datasheet(model, element_area, slots, datasheet, fouling_factor, design_temperature_c,
                                     f"array {name!r}")
        node = Array(name, model, stages, element_area, element_pressure_drop_bar, slots, components,
                     self.components, self.kinds)
        node.report.update(report)  # what was fitted or applied, name -> figure (the array's starts empty)
        self._add(node)

    def mixer(self, name: str, inlets: int = 2) -> None:
        """Join ``inlets`` streams (ports inlet1..inletN) into one (port outlet).

        The flows add; temperature and components are flow-weighted means;
        the pressure is the lowest among the inlets with flow > 0 (all
        inlets if none has flow). With a total flow <= 0 (or NaN),
        temperature and components are the plain mean of the inlets.

        Parameters
        ----------
        name : str
            The mixer's name (an identifier, not reserved, not yet used).
        inlets : int, optional
            Number of inlet ports (default 2; at least 2).

        Raises
        ------
        FlowsheetError
            For fewer than 2 inlets or a bad name.
        TypeError
            For ``inlets`` that is not an integer.

        Examples
        --------
        >>> import hydrokit
        >>> fs = hydrokit.Flowsheet(components=["salt"])
        >>> fs.feed("a", flow=1e-3, temperature_c=20, pressure_bar=2, salt=1000)
        >>> fs.feed("b", flow=3e-3, temperature_c=30, pressure_bar=3, salt=2000)
        >>> fs.mixer("mix")
        >>> fs.connect("a", "mix.inlet1"); fs.connect("b", "mix.inlet2")
        >>> fs.solve().stream("mix")                # m³/s, °C, bar, g/m³
        {'flow': 0.004, 'temperature_c': 27.5, 'pressure_bar': 2.0, 'salt': 1750.0}
        """
        if isinstance(inlets, bool):
            raise TypeError(f"mixer {name!r}: inlets must be a whole number, got {inlets!r}")
        operator.index(inlets)  # TypeError for what is not a whole number
        self._add(Mixer(name, inlets))

    def splitter(self, name: str, fractions: Iterable[float]) -> None:
        """Divide a stream (port inlet) by flow fractions (ports outlet1..outletN).

        The fractions lie in [0, 1] and add up to 1; the last outlet takes what
        the others leave, so the outlet flows add up to the inlet's.

        Every outlet keeps the inlet's temperature, pressure and components.
        The fractions but the last are variables of a solve or sweep,
        ``"<splitter>.fraction1"`` .. ``"<splitter>.fraction<N-1>"``; values
        outside [0, 1] or adding up past 1 are refused there.

        Parameters
        ----------
        name : str
            The splitter's name (an identifier, not reserved, not yet used).
        fractions : sequence of float
            The share of the inlet flow of each outlet (at least 2).

        Raises
        ------
        FlowsheetError
            For fewer than 2 fractions, one that is not a number, fractions
            outside [0, 1] or not adding up to 1 (within 1e-9), a bad name.
        TypeError
            For ``fractions`` that is not iterable.

        Examples
        --------
        >>> import hydrokit
        >>> fs = hydrokit.Flowsheet()
        >>> fs.feed("sea", flow=1e-3)                                 # m³/s
        >>> fs.splitter("split", fractions=[0.25, 0.75])
        >>> fs.connect("sea", "split")
        >>> res = fs.solve(**{"split.fraction1": 0.4})
        >>> [round(res.stream(s)["flow"], 12) for s in ("split.outlet1", "split.outlet2")]  # m³/s
        [0.0004, 0.0006]
        """
        fracs: list[float] = []
        for f in fractions:
            if len(fracs) >= MAX_PORTS:
                raise FlowsheetError(f"splitter {name!r}: at most {MAX_PORTS:_} fractions (outlets)")
            fracs.append(_number(f, f"splitter {name!r}: fraction"))
        if len(fracs) < 2:
            raise FlowsheetError(f"splitter {name!r}: give at least 2 fractions, got {len(fracs)}")
        if not all(0.0 <= f <= 1.0 for f in fracs) or not math.isclose(math.fsum(fracs), 1.0, abs_tol=1e-9):
            raise FlowsheetError(f"splitter {name!r}: fractions must lie in [0, 1] and add up to 1, got {fracs}")
        self._add(Splitter(name, fracs))

    def heater(self, name: str, *, outlet_temperature_c: float | None = None, duty_kw: float | None = None) -> None:
        """Heat a stream (port inlet -> port outlet) to a temperature or by a duty.

        The duty is rho · cp · Q · (T_out − T_in), with the package's water
        density (Kell) and specific heat at the inlet temperature and the
        inlet's volume flow Q; flow, pressure and components pass unchanged.
        A heater never cools: a set point at or below the inlet temperature
        moves no heat. Its duty (``"<name>.duty_kw"``, kW) is heat bought from
        outside the plant, counted in ``kpi.heat_kw``. The setting given is a
        variable of a solve or sweep, ``"<name>.outlet_temperature_c"`` or
        ``"<name>.duty_kw"``.

        Parameters
        ----------
        name : str
            The heater's name.
        outlet_temperature_c : float, optional
            Outlet temperature, °C.
        duty_kw : float, optional
            Heat added, kW (>= 0). Give exactly one of the two.

        Raises
        ------
        FlowsheetError
            For neither or both settings, a value that is not a number or a
            negative duty, a bad name.

        Examples
        --------
        >>> import hydrokit
        >>> fs = hydrokit.Flowsheet(components=["salt"])
        >>> fs.feed("brine", flow=1e-3, temperature_c=20, salt=70000)
        >>> fs.heater("hx", outlet_temperature_c=60)
        >>> fs.connect("brine", "hx")
        >>> res = fs.solve()
        >>> round(res.row["hx.duty_kw"], 2), round(res.kpis["heat_kw"], 2)   # kW
        (166.96, 166.96)
        """
        self._add(self._thermal(name, "heater", outlet_temperature_c, duty_kw))

    def cooler(self, name: str, *, outlet_temperature_c: float | None = None, duty_kw: float | None = None) -> None:
        """Cool a stream (port inlet -> port outlet) to a temperature or by a duty.

        As :meth:`heater` with the heat taken out: a cooler never heats; its
        duty (``"<name>.duty_kw"``, kW of heat removed, >= 0) is counted in
        ``kpi.cooling_kw``.

        Examples
        --------
        >>> import hydrokit
        >>> fs = hydrokit.Flowsheet()
        >>> fs.feed("hot", flow=1e-3, temperature_c=60)
        >>> fs.cooler("cw", duty_kw=41.8)
        >>> fs.connect("hot", "cw")
        >>> round(fs.solve().stream("cw")["temperature_c"], 2)               # °C
        49.88
        """
        self._add(self._thermal(name, "cooler", outlet_temperature_c, duty_kw))

    def _thermal(self, name: str, kind: str, outlet_temperature_c: float | None, duty_kw: float | None) -> Thermal:
        given = {k: v for k, v in (("outlet_temperature_c", outlet_temperature_c), ("duty_kw", duty_kw))
                 if v is not None}
        if len(given) != 1:
            raise FlowsheetError(f"{kind} {name!r}: give exactly one of outlet_temperature_c (°C) or duty_kw (kW)")
        (setting, value), = given.items()
        value = _number(value, f"{kind} {name!r}: {setting}")
        if setting == "duty_kw" and not value >= 0:
            raise FlowsheetError(f"{kind} {name!r}: duty_kw must be >= 0 kW (the heat moved), got {value!r}")
        return Thermal(name, kind, setting, value)

    @property
    def thermal(self) -> dict[str, Thermal]:
        """Heaters and coolers by name (each with ``.kind``, ``.setting``, ``.value``). A new dict on each access."""
        return {n: node for n, node in self._nodes.items() if isinstance(node, Thermal)}

    def _node(self, name: str, what: str) -> Node:
        try:
            return self._nodes[name]
        except KeyError:
            raise FlowsheetError(f"{what}: unknown name {name!r}; choose from: {_choices(self._nodes)}") from None

    def _port(self, text: str, side: str) -> Stream:
        """(node name, port) of an outlet (side "source") or inlet (side "target")."""
        if not isinstance(text, str):
            raise FlowsheetError(f"a port is written 'unit.port', not {type(text).__name__}")
        name, dot, port = text.partition(".")
        node = self._node(name, f"port {text!r}")
        ports = node.outlets if side == "source" else node.inlets
        kind = "outlet" if side == "source" else "inlet"
        if isinstance(node, Feed):
            if side == "target":
                raise FlowsheetError(f"feed {name!r} is a source: it cannot be connected into")
            if dot:
                raise FlowsheetError(f"a feed is named alone: write {name!r}, not {text!r}")
            return name, ""
        if not dot:
            if len(ports) == 1:
                return name, ports[0]
            raise FlowsheetError(f"{node.kind} {name!r} has {kind}s {_choices(ports)}: write {name}.<{kind}>")
        # A set per node and side: a mixer of thousands of inlets is connected in linear time.
        known: dict[str, frozenset[str]] = node.__dict__.setdefault("_port_sets", {})
        if side not in known:
            known[side] = frozenset(ports)
        if port not in known[side]:
            raise FlowsheetError(f"{node.kind} {name!r} has no {kind} {_short(port)}; choose from: {_choices(ports)}")
        return name, port

    @staticmethod
    def _label(port: Stream) -> str:
        name, outlet = port
        return f"{name}.{outlet}" if outlet else name

    def connect(self, source: str, target: str) -> None:
        """A stream from an outlet (``"unit.port"`` or a feed's name) to an inlet.

        Each outlet feeds at most one inlet or product, and each inlet is fed
        by one stream: join streams with a mixer, send one two ways with a
        splitter. When the flowsheet is solved every inlet must be fed and
        every feed used (else :class:`FlowsheetError`); an outlet may stay
        unconnected (its stream is still in the results).

        Parameters
        ----------
        source : str
            An outlet: ``"unit.port"``, ``"unit"`` for a node with one
            outlet, or a feed's name.
        target : str
            An inlet: ``"unit.port"``, or ``"unit"`` for a node with one inlet.

        Raises
        ------
        FlowsheetError
            For an unknown name or port, a port written without ``.port`` on
            a node with several, a feed as the target, or an outlet or inlet
            already connected.

        Examples
        --------
        >>> import hydrokit
        >>> fs = hydrokit.Flowsheet()
        >>> fs.feed("sea", flow=1e-3)
        >>> fs.unit("ro", "osmolumped")
        >>> fs.connect("sea", "ro.feed")
        >>> fs.connections
        {('ro', 'feed'): ('sea', '')}
        >>> fs.connect("ro", "ro.feed")
        Traceback (most recent call last):
        ...
        hydrokit.flowsheet.nodes.FlowsheetError: unit 'ro' has outlets permeate, concentrate: write ro.<outlet>
        """
        src = self._port(source, "source")
        dst = self._port(target, "target")
        if src in self._used:
            raise FlowsheetError(f"{self._label(src)} is already connected to {self._used[src]}; "
                                 f"use a splitter to send a stream two ways")
        if dst in self._links:
            raise FlowsheetError(f"{self._label(dst)} is already fed by {self._label(self._links[dst])}; "
                                 f"use a mixer to join streams")
        self._links[dst] = src
        self._used[src] = self._label(dst)
        self._changed()

    def product(self, name: str, source: str) -> None:
        """Name a stream leaving the plant as a product (counted in the KPIs).

        The products' flows add up to ``kpi.product_flow`` (m³/s), which
        divides into the recovery and the specific energy. A product is also
        a name for its stream in :meth:`Result.stream`.

        Parameters
        ----------
        name : str
            The product's name (an identifier, not yet a product).
        source : str
            The outlet that leaves the plant, ``"unit.port"`` (or a feed).

        Raises
        ------
        FlowsheetError
            For a bad or repeated name, an unknown outlet, or an outlet that
            is already connected.

        Examples
        --------
        >>> import hydrokit
        >>> fs = hydrokit.Flowsheet()
        >>> fs.feed("sea", flow=1e-3)
        >>> fs.unit("ro", "osmolumped")
        >>> fs.connect("sea", "ro.feed")
        >>> fs.product("water", "ro.permeate")
        >>> fs.products
        {'water': 'ro.permeate'}
        """
        if not isinstance(name, str) or not NAME_PATTERN.match(name) or len(name) > MAX_NAME:
            raise FlowsheetError(f"product name {_short(name)} must be an identifier of at most {MAX_NAME} characters")
        if name in self._nodes:
            # Result.stream takes both: a product named like a node would hide that node's stream.
            raise FlowsheetError(f"product name {name!r} is already the name of {self._nodes[name]!r}; "
                                 f"name the product otherwise")
        if name in self._products:
            raise FlowsheetError(f"product {name!r} is already {self._label(self._products[name])}")
        src = self._port(source, "source")
        if src in self._used:
            raise FlowsheetError(f"{self._label(src)} is already connected to {self._used[src]}")
        self._products[name] = src
        self._used[src] = f"product {name}"
        self._changed()

    def tear(self, stream: str, **start: float) -> None:
        """Name a recycle stream to tear, with an optional start (quantities as for a feed).

        Without this the flowsheet tears each loop itself at the streams that
        lead back to where the loop is entered. A tear stream's quantities
        are guessed, the loop runs, and the guess is replaced until it stops
        changing (see :class:`Flowsheet`). A start not given is no flow at
        25 °C and 1 bar with components 0. The start of every tear stream of
        the plan is also a solve/sweep variable
        ``"tear.<unit>.<port>.<quantity>"``.

        Parameters
        ----------
        stream : str
            The outlet to tear, ``"unit.port"`` (or ``"unit"`` with one outlet).
        **start : float
            Start quantities: ``flow`` (m³/s), ``temperature_c`` (°C),
            ``pressure_bar`` (bar), components (g/m³).

        Raises
        ------
        FlowsheetError
            For an unknown stream or quantity, a feed, or a value that is not
            a number; at solve time, a tear stream that is not in a cycle.

        Examples
        --------
        A pump whose outlet is split, a quarter returning to its inlet:

        >>> import hydrokit
        >>> fs = hydrokit.Flowsheet()
        >>> fs.feed("sea", flow=1e-3)
        >>> fs.mixer("mix"); fs.unit("hp", "pump"); fs.splitter("split", [0.25, 0.75])
        >>> fs.connect("sea", "mix.inlet1"); fs.connect("mix", "hp"); fs.connect("hp", "split")
        >>> fs.connect("split.outlet1", "mix.inlet2")
        >>> fs.tear("split.outlet1", flow=3e-4)                       # m³/s
        >>> res = fs.solve()
        >>> res.converged, round(res.stream("split.outlet2")["flow"], 9)
        (True, 0.001)
        """
        src = self._port(stream, "source")
        if isinstance(self._nodes[src[0]], Feed):
            raise FlowsheetError(f"feed {src[0]!r} is not in a cycle and cannot be torn")
        self._tears[src] = self._stream_values(f"tear {stream!r}", start, DEFAULT_TEAR_START)
        self._changed()

    # -- inspecting -------------------------------------------------------

    @property
    def units(self) -> dict[str, Unit]:
        """Model units by name (each with ``.model``, ``.layout``, ``.settings``).

        Returns
        -------
        dict
            Unit name -> unit, in the order added (mixers, splitters and
            feeds are not units). A unit has ``.model`` (the model name),
            ``.layout`` (its :class:`hydrokit.Layout`), ``.settings`` (the
            slots fixed by :meth:`unit`, name as given -> value) and ``.u0``,
            ``.p0`` (its input and parameter vectors as it runs, before the
            streams fill them). A new dict on each access.

        Examples
        --------
        >>> import hydrokit
        >>> fs = hydrokit.Flowsheet()
        >>> fs.unit("hp", "pump", pressure_rise_bar=59)
        >>> fs.mixer("mix")
        >>> {name: unit.model for name, unit in fs.units.items()}
        {'hp': 'pump'}
        """
        return {n: node for n, node in self._nodes.items() if isinstance(node, Unit)}

    @property
    def arrays(self) -> dict[str, Array]:
        """Membrane arrays by name (each with ``.model``, ``.vessels``, ``.elements``, ``.report``)."""
        from .array import Array

        return {n: node for n, node in self._nodes.items() if isinstance(node, Array)}

    @property
    def feeds(self) -> dict[str, Feed]:
        """Feeds by name.

        Returns
        -------
        dict
            Feed name -> feed, in the order added; a feed has ``.values``
            (quantity -> value: flow m³/s, temperature_c °C, pressure_bar
            bar, components g/m³) and ``.utility``. A new dict on each access.

        Examples
        --------
        >>> import hydrokit
        >>> fs = hydrokit.Flowsheet()
        >>> fs.feed("sea", flow=1e-3)
        >>> fs.feeds["sea"].values["flow"]                            # m³/s
        0.001
        """
        return {n: node for n, node in self._nodes.items() if isinstance(node, Feed)}

    @property
    def connections(self) -> dict[Stream, Stream]:
        """(unit, inlet port) -> (source, outlet port) of every stream; a feed's port is "".

        Returns
        -------
        dict
            One entry per connected inlet (of units, mixers and splitters),
            in the order connected; products are in :attr:`products`. A new
            dict on each access.

        Examples
        --------
        With ``fs``, the seawater example plant:

        >>> fs.connections
        {('hp', 'inlet'): ('sea', ''), ('ro', 'feed'): ('hp', 'outlet'), ('erd', 'inlet'): ('ro', 'concentrate')}
        """
        return dict(self._links)

    @property
    def products(self) -> dict[str, str]:
        """Product name -> stream name.

        Returns
        -------
        dict
            Product name -> ``"unit.port"`` (or a feed's name), in the order
            named. A new dict on each access.

        Examples
        --------
        With ``fs``, the seawater example plant:

        >>> fs.products
        {'water': 'ro.permeate'}
        """
        return {n: self._label(src) for n, src in self._products.items()}

    def streams(self) -> list[str]:
        """Every stream's name: feeds, then each outlet of each node in the order added.

        Returns
        -------
        list of str
            ``"<feed>"`` or ``"<unit>.<port>"``, connected or not: the names
            :meth:`Result.stream` takes and the stream prefixes of the sweep
            table's columns.

        Examples
        --------
        With ``fs``, the seawater example plant:

        >>> fs.streams()
        ['sea', 'hp.outlet', 'ro.permeate', 'ro.concentrate', 'erd.outlet']
        """
        return [self._label((n, port)) for n, node in self._nodes.items() for port in node.outlets]

    # -- solving ----------------------------------------------------------

    def plan(self, names: Iterable[str] = ()) -> Plan:
        """The compiled plan with ``names`` as its row variables (cached).

        The plan is what the batch extension executes (see
        :mod:`hydrokit.flowsheet.plan`); :meth:`solve`, :meth:`sweep` and
        :meth:`evaluate` compile it through here. It is cached per tuple of
        names until the flowsheet changes.

        Parameters
        ----------
        names : iterable of str, optional
            The row variables, as for :meth:`evaluate` (default: none).

        Returns
        -------
        Plan
            With ``.names``, ``.columns`` (the output columns), ``.streams``
            (stream -> first column), ``.unit_outputs`` and ``.tears`` (the
            tear streams, as named by the flowsheet or chosen by it).

        Raises
        ------
        FlowsheetError
            For an inlet left open, a feed connected to nothing, a flowsheet
            without units, outlets of two exclusive groups of one unit used,
            a tear stream outside every cycle, or an unknown, repeated or
            non-variable name (a slot a stream fills, a held or moving count
            slot).

        Examples
        --------
        With ``fs``, the seawater example plant:

        >>> fs.plan(["hp.pressure_rise_bar"]).tears
        ()
        """
        from .plan import compile_plan

        key = tuple(names)
        plan = self._plans.get(key)
        if plan is None:
            plan = compile_plan(self, key)
            # A few plans are kept, the most recently used: callers that solve with ever new
            # sets of names do not grow the cache without end.
            while len(self._plans) >= PLAN_CACHE:
                self._plans.popitem(last=False)
            self._plans[key] = plan
        else:
            self._plans.move_to_end(key)
        return plan

    def solve(self, **values: float) -> Result[Flowsheet]:
        """Solve the plant once; ``values`` override ``"unit.slot"``/``"feed.quantity"``
        (and ``"splitter.fractionK"``, a tear stream's start ``"unit.port.quantity"``).

        The values hold for this call only. The result is bitwise the same
        as the matching row of :meth:`sweep`. A recycle loop that does not
        converge within ``max_iterations`` raises nothing: the result has
        ``converged`` False and the last ``residual``; a unit whose diagnostic
        flags are set (or that sends on a NaN or infinite stream) is counted
        in ``flagged``.

        Parameters
        ----------
        **values : float
            ``"<unit>.<slot>"`` (slot units as in the model's layout),
            ``"<feed>.<quantity>"`` (flow m³/s, temperature_c °C,
            pressure_bar bar, components g/m³), ``"<splitter>.fraction<K>"``
            and ``"tear.<unit>.<port>.<quantity>"`` (a tear stream's start).
            Names hold a dot, so pass them as ``**{"hp.pressure_rise_bar": 60}``.

        Returns
        -------
        Result
            Streams, unit outputs, KPIs, electric power per unit and the
            loop status of the operating point.

        Raises
        ------
        FlowsheetError
            For the compile-time mistakes of :meth:`plan`, an unknown name,
            a value that is not a finite number (NaN, an infinity, None,
            an integer beyond a double; a sweep row takes these and comes
            out flagged), or splitter fractions outside [0, 1] or adding up
            past 1.

        Examples
        --------
        With ``fs``, the seawater example plant:

        >>> res = fs.solve(**{"hp.pressure_rise_bar": 64, "sea.salt": 30000})
        >>> round(res.kpis["electric_power_kw"], 3)                   # kW
        5.872
        >>> round(res.outputs("hp")["outlet_pressure_bar"], 1)        # bar
        65.0

        A recycle that is given too few passes still returns, and says so:

        >>> loop = hydrokit.Flowsheet(max_iterations=2)
        >>> loop.feed("w", flow=1e-3); loop.mixer("mix"); loop.unit("hp", "pump")
        >>> loop.splitter("split", [0.5, 0.5])
        >>> loop.connect("w", "mix.inlet1"); loop.connect("mix", "hp"); loop.connect("hp", "split")
        >>> loop.connect("split.outlet1", "mix.inlet2")
        >>> res = loop.solve()
        >>> res.converged, res.iterations, round(res.residual, 3)
        (False, 2, 0.333)
        """
        from .results import solve

        return solve(self, values)

    # rows: a mapping name -> column or None; threads, chunk_rows: int or None; columns: a name or
    # pattern or several; progress: bool or None. Typed loosely so that axes can be passed as
    # **{"unit.slot": values} beside them (their names hold a dot). A DataFrame or a dict of columns.
    def sweep(self, rows: Any = None, *, threads: Any = None, client: Any = None, chunk_rows: Any = None,
              columns: Any = None, progress: Any = None, **axes: ArrayLike) -> Any:
        """Solve over many rows: the Cartesian product of ``axes`` (the first varies
        slowest), or ``rows``, a mapping name -> 1-D column of equal lengths.
        Returns a DataFrame when pandas is installed, else a dict of NumPy columns.

        Each row is solved as :meth:`solve` would solve it, bit for bit, in
        C++ on ``threads`` threads (or in chunks on a Dask ``client``).

        Parameters
        ----------
        rows : mapping, optional
            Name -> 1-D column; the columns are zipped into rows (all of one
            length). Not together with ``axes``.
        threads : int, optional
            Worker threads (default: the cores this process may use, as for
            :func:`hydrokit.sweep`).
        client : dask.distributed.Client, optional
            Solve chunks of rows on the cluster (as :func:`hydrokit.sweep`).
        chunk_rows : int, optional
            Rows per chunk; only with ``client``.
        columns : str or iterable of str, optional
            Only the columns matching these names or patterns (``"kpi.*"``,
            ``"ro.*"``, ``"power.*"``), the varied names always kept.
        progress : bool, optional
            Show progress of a long sweep (tqdm, or lines on stderr); by
            default only in a terminal or notebook and after two seconds.
        **axes : float or 1-D array_like
            Name -> values, names as for :meth:`solve`.

        Returns
        -------
        pandas.DataFrame or dict of numpy.ndarray
            A DataFrame's ``attrs["units"]`` maps every column to its unit.
            One row per operating point. Columns: the varied names first, as
            given; ``"<unit>.<output>"`` for every named output of every unit
            (``"y.<unit>.<output>"`` where that name is also varied);
            ``"<unit>.<port>.<quantity>"`` and ``"<feed>.<quantity>"`` for
            every stream (m³/s, °C, bar, g/m³); ``"power.<unit>"`` (kW,
            electric, signed as counted: recovered power negative);
            ``"kpi.electric_power_kw"`` (kW, net), ``"kpi.product_flow"`` and
            ``"kpi.feed_flow"`` (m³/s; utility feeds not counted),
            ``"kpi.recovery"`` (product / feed flow),
            ``"kpi.specific_energy_kwh_m3"`` (kWh/m³ of product),
            ``"kpi.heat_kw"`` (kW of heat duty); ``"converged"`` (1/0),
            ``"iterations"`` (loop passes), ``"residual"`` (largest relative
            change of a tear quantity in the last pass) and ``"flagged"``
            (the number of units whose flag outputs are non-zero or NaN,
            that send on a NaN or infinite stream, whose counted power is
            not finite or that are given a NaN or infinity in a varied slot,
            and of feeds with a non-finite quantity; non-convergence is in
            ``"converged"``, not here).

        Raises
        ------
        FlowsheetError
            For ``rows`` together with ``axes``, ``rows`` that is not a
            mapping of 1-D columns of one length, an axis that is not 1-D,
            and the mistakes of :meth:`solve`.
        TypeError
            For ``chunk_rows`` without a ``client``.

        Examples
        --------
        With ``fs``, the seawater example plant:

        >>> t = fs.sweep(**{"hp.pressure_rise_bar": [55, 60], "sea.salt": [30000, 35000]})
        >>> list(t)[:3]                                               # column names
        ['hp.pressure_rise_bar', 'sea.salt', 'hp.flow']
        >>> [round(float(v), 3) for v in t["kpi.specific_energy_kwh_m3"]]  # kWh/m³, 4 rows
        [2.667, 2.925, 2.768, 2.978]
        """
        from .results import sweep

        return sweep(self, rows, axes, threads=threads, client=client, chunk_rows=chunk_rows, columns=columns,
                     progress=progress)

    def evaluate(self, names: str | Sequence[str], matrix: ArrayLike, *, threads: int | None = None,
                 client: Any = None, chunk_rows: int | None = None,
                 columns: Iterable[str] | None = None) -> dict[str, NDArray[np.float64]]:
        """Rows of ``matrix`` (N × len(names)) solved; a dict of NumPy columns
        (only those named in ``columns`` when given).

        The fast entry for callers that solve many small batches (an
        optimiser): no pandas, no axes, and with ``columns`` only the
        columns asked for.

        Parameters
        ----------
        names : str or sequence of str
            The row variables, as for :meth:`solve`.
        matrix : array_like
            An (N, len(names)) matrix of values in the variables' units (a
            1-D array with one name).
        threads, client, chunk_rows
            As for :meth:`sweep`.
        columns : iterable of str, optional
            Only these columns of the sweep table (default: all of them).

        Returns
        -------
        dict of numpy.ndarray
            The columns of :meth:`sweep`, each of length N.

        Raises
        ------
        FlowsheetError
            For a name given twice, a matrix of the wrong shape, an unknown
            column, and the mistakes of :meth:`solve`.
        TypeError
            For ``chunk_rows`` without a ``client``.

        Examples
        --------
        With ``fs``, the seawater example plant:

        >>> out = fs.evaluate(["hp.pressure_rise_bar"], [[55.0], [60.0]],
        ...                   columns=["kpi.recovery", "flagged"])
        >>> sorted(out), out["flagged"].tolist()
        (['flagged', 'kpi.recovery'], [0.0, 0.0])
        """
        from .results import evaluate

        return evaluate(self, names, matrix, threads=threads, client=client, chunk_rows=chunk_rows,
                        columns=columns)

    # The evaluation interface of a search over this plant (hydrokit.optimize): everything but the
    # rows settled once, so many small batches over the same names pay for the checks once.

    def evaluator(self, names: str | Sequence[str], *, threads: int | None = None, client: Any = None,
                  chunk_rows: int | None = None, columns: Iterable[str] | None = None, lenient: bool = False,
                  progress: bool = False) -> Callable[[ArrayLike], dict[str, NDArray[np.float64]]]:
        """``run(matrix) -> columns``: :meth:`evaluate` with the names, plan and columns checked
        once. ``lenient``: a row whose splitter fractions cannot be honoured comes back not
        converged instead of refused (an infeasible trial point)."""
        from .results import evaluator

        return evaluator(self, names, threads=threads, client=client, chunk_rows=chunk_rows, columns=columns,
                         lenient=lenient, progress=progress)

    def compiled_evaluator(self, names: str | Sequence[str], derive: Callable[[dict[str, Any]], Any], *,
                           key: Hashable = None, threads: int | None = None, client: Any = None,
                           chunk_rows: int | None = None, lenient: bool = False) -> CompiledRun:
        """``run(matrix, threads) -> (K × N) array``: the columns ``derive(table)`` gives, computed
        as one compiled column program (bitwise what ``derive`` gives on :meth:`evaluate`'s table);
        ``key`` stands for what ``derive`` computes, the program then kept with the plan.
        Raises ``hydrokit.batch.program.TraceError`` where ``derive`` cannot be traced."""
        from .results import compiled_evaluator

        return compiled_evaluator(self, names, derive, key=key, threads=threads, client=client,
                                  chunk_rows=chunk_rows, lenient=lenient)

    def row_solver(self, names: Sequence[str], extra: Callable[[dict[str, Any]], Mapping[str, Any]] | None = None,
                   key: Hashable = None,
                   lenient: bool = False) -> Callable[[Sequence[float]], tuple[Result[Flowsheet], dict[str, float]]]:
        """``solve_row(values) -> (result, extra columns)``: the :meth:`solve` result of a point over
        ``names`` and the ``extra(table)`` columns of its row, by one compiled program."""
        from .results import row_solver

        return row_solver(self, names, extra, key=key, lenient=lenient)

    def table_columns(self, names: str | Sequence[str]) -> frozenset[str]:
        """Every column of ``evaluate(names, ...)`` (a set)."""
        from .results import table_columns

        return table_columns(self, names)
