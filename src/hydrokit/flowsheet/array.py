"""Membrane arrays: stages of pressure vessels, each holding elements in series.

A stage is ``vessels`` identical pressure vessels in parallel, each holding
``elements`` elements in series; stage k + 1 is fed by the concentrate of
stage k. The array is projected element by element on one representative
vessel per stage, and compiled into ordinary plan steps:

* the stage feed divides equally among the vessels: the vessel's feed flow is
  the stage feed flow / vessels (one division, exact for every vessel);
* element 1 takes the vessel feed; element j + 1 takes the concentrate of
  element j at element j's feed pressure less ``element_pressure_drop_bar``
  (a constant per element, independent of flow); the vessel's concentrate
  leaves the last element after its drop;
* the permeates of a vessel's elements mix (flows add, concentrations
  flow-weighted) at the element model's permeate pressure;
* the stage's permeate and concentrate flows are the vessel's multiplied by
  the vessel count (one multiplication each); the array's ``permeate`` mixes
  every stage's permeate;
* an interstage booster (``stage<k>.booster_bar``, efficiency
  ``stage<k>.booster_efficiency``) raises the pressure of stage k's feed and
  counts as pump power, (Q · Δp · 100) / η kW with Q in m³/s and Δp in bar;
* the element models' own feed-pump outputs are never counted: the pressure
  an array runs at is paid for by the pump that raised it.

Each element runs the element model's core on its own vectors, so its
outputs equal ``hydrokit.<model>.run`` on that element's inputs bit for bit.
A model that takes its area (osmolumped) gets ``element_area`` in its area
slot; a model that takes a recovery and reports the area (osmomech,
nanomech: their flux does not depend on the recovery) is run once to find
the flux J and then with the recovery J · area / feed flow.

Besides the element model's outputs, the array's columns give per element
the feed (flow, temperature, pressure, components), ``recovery``,
``flux_lmh`` (L/(m²·h)) and ``polarisation_factor`` (wall over bulk osmotic
pressure, or the model's own factor), and per stage the vessel count, the
feed and concentrate flows per vessel and the pressure drop per vessel.
``GUIDELINES`` holds the published design limits these columns meet.
"""

from __future__ import annotations

import math
import numbers
import re
from collections.abc import Callable, Collection, Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Protocol, cast

from ..checks import ARRAY_GUIDELINES
from .emit import ADD, CORE, COPY, DIV, MAX, MIN, MIX, MUL, SUB, Constants, Plant, Stream, convert_code, emit_unit
# What one array may declare (with the flowsheet's other limits).
from .nodes import MAX_ARRAY_ELEMENTS, MAX_ELEMENTS_PER_VESSEL, MAX_STAGES, MAX_VESSELS
from .nodes import FlowsheetError, Unit
from .nodes import choice_list as _choices
from .nodes import finite_number as _number
from .nodes import short_text as _short

if TYPE_CHECKING:  # importing this module loads no NumPy
    import numpy as np
    from numpy.typing import NDArray

# Published design guidelines for spiral-wound elements, as data (kept with the design checks).
GUIDELINES = ARRAY_GUIDELINES

R_GAS = 8.31446261815324  # J/(mol·K)
LMH_PER_M_S = 3.6e6       # L/(m²·h) per m/s

# How each element model takes an element: its area slot, or the recovery
# slot and flux output of a model that reports its area; and how its
# polarisation factor is found.
ELEMENT_MODELS = {
    "osmolumped": {"area": "membrane_area", "polarisation": "lumped"},
    "osmomech": {"recovery": "recovery", "flux": "flux", "polarisation": "solutes"},
    "nanomech": {"recovery": "recovery", "flux": "flux", "polarisation": "polarisation_factor"},
}
ARRAY_SETTINGS = ("element_area", "element_pressure_drop_bar")
# The array's summary columns: the extreme of a guarded quantity over every
# element (or vessel), and the average flux over the whole array.
SUMMARY = ("max_element_recovery", "max_flux_lmh", "max_polarisation_factor", "max_feed_flow_per_vessel",
           "min_concentrate_flow_per_vessel", "max_pressure_drop_bar", "average_flux_lmh")
STAGE_SETTINGS = ("vessels", "booster_bar", "booster_efficiency")
DEFAULT_BOOSTER_EFFICIENCY = 0.8
_STAGE = re.compile(r"^stage([0-9]+)\.(.+)$")


class StateBlocks(Constants, Protocol):
    """The state being laid out: blocks of values appended, each at the offset returned."""

    def block(self, values: Iterable[float]) -> int: ...


def _count(value: object, what: str, high: int | None = None) -> int:
    # Any object is checked. The numbers ABCs declare no int() or comparison for the type checker,
    # so the arithmetic is on an untyped alias of the value the isinstance checks vouch for.
    number: Any = value
    if isinstance(value, numbers.Integral) and not isinstance(value, bool):
        whole = int(number) >= 1  # any size: compared as an integer, never converted to a double
    else:
        whole = (not isinstance(value, bool) and isinstance(value, numbers.Real) and math.isfinite(number)
                 and number == int(number) and int(number) >= 1)
    if not whole:
        raise FlowsheetError(f"{what} must be a whole number of at least 1, got {_short(number)}")
    if high is not None and number > high:
        raise FlowsheetError(f"{what} must be at most {high:_}, got {_short(number, 30)}")
    return int(number)


def check_stages(name: str, stages: Iterable[Iterable[object]]) -> list[tuple[int, int]]:
    """``stages`` as a list of (vessels, elements) pairs within the limits, checked before any work."""
    pairs: list[tuple[object, ...] | str | bytes] = []
    try:
        for s in stages:
            if len(pairs) >= MAX_STAGES:
                raise FlowsheetError(f"array {name!r}: at most {MAX_STAGES} stages")
            pairs.append(tuple(s) if not isinstance(s, (str, bytes)) else s)
    except TypeError:
        raise FlowsheetError(f"array {name!r}: stages is a list of (vessels, elements) pairs") from None
    if not pairs or any(not isinstance(s, tuple) or len(s) != 2 for s in pairs):
        raise FlowsheetError(f"array {name!r}: stages is a list of (vessels, elements) pairs, got {_short(pairs)}")
    out = [(_count(v, f"array {name!r}: vessels of stage {k}", MAX_VESSELS),
            _count(e, f"array {name!r}: elements of stage {k}", MAX_ELEMENTS_PER_VESSEL))
           for k, (v, e) in enumerate(cast("list[tuple[object, object]]", pairs), 1)]  # pairs, as checked
    total = sum(e for _, e in out)
    if total > MAX_ARRAY_ELEMENTS:
        raise FlowsheetError(f"array {name!r}: {total} elements in series over the stages; an array models "
                             f"at most {MAX_ARRAY_ELEMENTS}")
    return out


class Array:
    """A membrane array: stages of vessels with elements in series (see the module description)."""

    kind = "array"

    def __init__(self, name: str, model: str, stages: Iterable[Iterable[object]], element_area: float,
                 element_pressure_drop_bar: float, settings: Mapping[str, object], components: Mapping[str, str] | None,
                 flowsheet_components: Sequence[str], kinds: Mapping[str, str] | None = None) -> None:
        if model not in ELEMENT_MODELS:
            raise FlowsheetError(f"array {name!r}: model {model!r} cannot stand for an element; "
                                 f"choose from: {_choices(ELEMENT_MODELS)}")
        self.name = name
        self.model = model
        self.element = ELEMENT_MODELS[model]
        checked = check_stages(name, stages)
        vessels = [v for v, _ in checked]
        self.vessels = tuple(vessels)  # the counts a stage<k>.vessels setting gives are written below
        self.elements = tuple(e for _, e in checked)
        self.element_area = _number(element_area, f"array {name!r}: element_area")
        if not self.element_area > 0:
            raise FlowsheetError(f"array {name!r}: element_area must be positive (m²), got {element_area!r}")
        self.element_pressure_drop_bar = _number(element_pressure_drop_bar, f"array {name!r}: element_pressure_drop_bar")
        self.inlets = ("feed",)
        self.outlets = ("permeate", *(f"stage{k}_permeate" for k in range(1, len(checked) + 1)), "concentrate")
        boosters = [0.0] * len(checked)
        booster_efficiency = [DEFAULT_BOOSTER_EFFICIENCY] * len(checked)
        shared: dict[str, object] = {}
        per_stage: list[dict[str, object]] = [{} for _ in checked]
        for key, value in settings.items():
            stage, slot = self._split(key)
            if slot in STAGE_SETTINGS:
                if stage is None:
                    raise FlowsheetError(f"array {name!r}: {slot} is set per stage, as stage<k>.{slot}")
                if slot != "vessels" and stage == 1:
                    raise FlowsheetError(f"array {name!r}: a booster stands between stages (stage2 on); stage 1's "
                                         f"feed is raised by a pump unit before the array")
                if slot == "vessels":
                    vessels[stage - 1] = _count(value, f"array {name!r}: {key}", MAX_VESSELS)
                elif slot == "booster_bar":
                    boosters[stage - 1] = _number(value, f"array {name!r}: {key}")
                else:
                    booster_efficiency[stage - 1] = _number(value, f"array {name!r}: {key}")
                continue
            (shared if stage is None else per_stage[stage - 1])[slot] = value
        # One template unit per stage: the element model's vectors as every
        # element of that stage starts, with the settings checked by the unit.
        self.stage_units: list[Unit] = []
        for k in range(len(checked)):
            fixed = dict(shared, **per_stage[k])
            for own in (self.element.get("area"), self.element.get("recovery")):
                if own in fixed:
                    raise FlowsheetError(f"array {name!r}: slot {own!r} is set by the array from element_area")
            if "area" in self.element:
                fixed[self.element["area"]] = self.element_area
            # The element's component slots take what the model's take; a
            # component it does not model passes by the model's own rule
            # (suspended solids wholly to the concentrate).
            self.stage_units.append(Unit(name, model, fixed, components, flowsheet_components, kinds))
        # The slots fixed for one stage alone: a shared variable leaves them as fixed.
        self.stage_fixed = [{unit.layout.resolve(key) for key in per_stage[k]}
                            for k, unit in enumerate(self.stage_units)]
        self.table = self.stage_units[0].table
        self.positions = self.stage_units[0].positions
        self.components = tuple(flowsheet_components)
        self.report: dict[str, object] = {}  # what filling the slots from a datasheet did (see hydrokit.membranes)
        # Read-only once built (a plan compiled from them is cached): a changed array is a new array.
        self.vessels = tuple(vessels)
        self.boosters, self.booster_efficiency = tuple(boosters), tuple(booster_efficiency)

    def __repr__(self) -> str:
        stages = ", ".join(f"{v}x{e}" for v, e in zip(self.vessels, self.elements))
        return f"Array({self.name!r}, {self.model!r}, stages=[{stages}])"

    def _split(self, key: str) -> tuple[int | None, str]:
        """(stage number or None, slot name) of a setting or variable name."""
        m = _STAGE.match(key)
        if not m:
            return None, key
        stage = int(m.group(1))
        if not 1 <= stage <= len(self.vessels):
            raise FlowsheetError(f"array {self.name!r}: no stage {stage} in {key!r}; stages 1 to {len(self.vessels)}")
        return stage, m.group(2)

    # -- compiling ---------------------------------------------------------

    def allocate(self, st: StateBlocks, width: int, names: Sequence[str]) -> _Layout:
        """Lay out the array's state; the row variables among ``names`` that name it get their slots."""
        lay = _Layout()
        n_stages = len(self.vessels)
        lay.area = st.block([self.element_area])
        lay.drop = st.block([self.element_pressure_drop_bar])
        lay.vessels = st.block([float(v) for v in self.vessels])
        lay.boost = st.block(self.boosters)
        lay.boost_eff = st.block(self.booster_efficiency)
        lay.variables = {"element_area": lay.area, "element_pressure_drop_bar": lay.drop}
        for k in range(n_stages):
            lay.variables[f"stage{k + 1}.vessels"] = lay.vessels + k
            if k > 0:
                lay.variables[f"stage{k + 1}.booster_bar"] = lay.boost + k
                lay.variables[f"stage{k + 1}.booster_efficiency"] = lay.boost_eff + k
        # Element slots varied as a row variable: one slot each, copied into
        # the elements it reaches (a stage's own name wins over the shared one).
        lay.copies = [dict() for _ in range(n_stages)]  # stage -> (vector, index) -> source offset
        prefix = f"{self.name}."
        shared_first = sorted((n for n in names if isinstance(n, str) and n.startswith(prefix)),
                              key=lambda n: _STAGE.match(n[len(prefix):]) is not None)
        for full in shared_first:
            rest = full[len(prefix):]
            if rest in lay.variables:
                continue
            stage, slot = self._split(rest)
            if slot in STAGE_SETTINGS or slot in ARRAY_SETTINGS:
                raise FlowsheetError(f"array {self.name!r}: no variable {rest!r}; array variables: "
                                     f"{_choices(lay.variables)}, and element slots (shared or stage<k>.slot)")
            targets = range(n_stages) if stage is None else [stage - 1]
            where: int | None = None
            for k in targets:
                unit = self.stage_units[k]
                vector, index = unit.resolve_slot(slot, varied=True)
                if (vector, index) in self._own_slots(unit):
                    raise FlowsheetError(f"array {self.name!r}: slot {slot!r} is set by the array; vary "
                                         f"{self.name}.element_area instead")
                if stage is None and (vector, index) in self.stage_fixed[k]:
                    continue
                if where is None:
                    where = st.block([(unit.u0 if vector == "u" else unit.p0)[index]])
                lay.copies[k][(vector, index)] = where
            if where is None:  # every stage fixes it for itself: the variable still has a slot, read by none
                where = st.block([0.0])
            lay.variables[rest] = where
        # The elements' vectors and streams.
        lay.stages = []
        for k in range(n_stages):
            unit = self.stage_units[k]
            out_width = unit.layout.module.OUTPUT_WIDTH
            block = _Stage()
            block.vessel_feed = st.block([0.0] * width)
            block.vessel_permeate = st.block([0.0] * width)
            block.derived = st.block([0.0, 0.0])  # pressure drop per vessel, booster power (kW)
            block.concentrate = st.block([0.0] * width)  # all vessels' concentrate
            for _ in range(self.elements[k]):
                e = _Element()
                e.u = st.block(unit.u0)
                e.p = st.block(unit.p0)
                e.y = st.block([0.0] * out_width)
                if "recovery" in self.element:
                    e.probe = st.block([0.0] * out_width)
                e.permeate = st.block([0.0] * width)
                e.concentrate = st.block([0.0] * width)
                e.derived = st.block([0.0, 0.0, 0.0, 0.0])  # recovery, flux_lmh, polarisation, scratch
                block.elements.append(e)
            lay.stages.append(block)
        # Summaries over every element and vessel, then scratch.
        lay.summary = st.block([0.0] * (len(SUMMARY) + 1))
        lay.width = width
        lay.components = self.components
        lay.area_varied = "element_area" in {n[len(prefix):] for n in names if isinstance(n, str)}
        return lay

    def _varied_in_stage(self, k: int, varied: Iterable[str]) -> set[str]:
        """Of the varied names, those that reach stage k's elements (its own, or shared and not fixed for it)."""
        prefix = f"{self.name}."
        reach: set[str] = set()
        for full in varied:
            if not full.startswith(prefix):
                continue
            stage, slot = self._split(full[len(prefix):])
            if stage == k + 1 or (stage is None and self.stage_units[k].layout.resolve(slot)
                                  not in self.stage_fixed[k]):
                reach.add(full)
        return reach

    def _own_slots(self, unit: Unit) -> set[tuple[str, int]]:
        """The slots the array fills itself (the element's area or recovery)."""
        return {unit.layout.resolve(self.element[key]) for key in ("area", "recovery") if key in self.element}

    def emit(self, fs: Plant, blocks: Mapping[Stream, int], st: Constants, code: list[int], core: Callable[[str], int],
             lay: _Layout, varied: Collection[str] = ()) -> None:
        """The array's plan steps, appended to ``code``.

        ``varied``: the row variables that set an outlet pressure; a stage's
        setting they reach is checked against ambient per row, not here."""
        width = lay.width
        feed = blocks[fs._links[(self.name, "feed")]]
        stage_feed = feed
        for k, stage in enumerate(lay.stages):
            unit = self.stage_units[k]
            vessels = lay.vessels + k
            # The vessel's feed: the stage feed over the vessel count, raised by the booster.
            code += [DIV, stage.vessel_feed, stage_feed, vessels]
            for q in range(1, width):
                code += [COPY, stage.vessel_feed + q, stage_feed + q]
            if k > 0:
                code += [ADD, stage.vessel_feed + 2, stage_feed + 2, lay.boost + k]
                power = stage.derived + 1
                code += [MUL, power, stage_feed, lay.boost + k]
                code += [MUL, power, power, st.constant(100.0)]  # bar·m³/s -> kW: 1e5 Pa / 1000 W
                code += [DIV, power, power, lay.boost_eff + k]
            inlet = stage.vessel_feed
            for e in stage.elements:
                for (vector, index), src in lay.copies[k].items():
                    code += [COPY, (e.u if vector == "u" else e.p) + index, src]
                if "area" in self.element and lay.area_varied:
                    vector, index = unit.layout.resolve(self.element["area"])
                    code += [COPY, (e.u if vector == "u" else e.p) + index, lay.area]
                wiring = _Wiring(fs, self.name, inlet, e)
                if "recovery" in self.element:
                    # The flux does not depend on the recovery: one run finds it,
                    # the recovery that fills the element's area follows.
                    _, rec = unit.layout.resolve(self.element["recovery"])
                    _, qf = unit.layout.resolve(unit.table.INLETS["feed"].flow.name)
                    flux = unit.output_index[self.element["flux"]]
                    assert e.probe is not None  # allocated for every model run once to find its flux
                    _gather(unit, (e.u, e.p), wiring.blocks[(self.name, "~feed")], st, code, fs.components)
                    code += [COPY, e.p + rec, st.constant(0.5)]
                    code += [CORE, core(self.model), e.u, e.p, e.probe]
                    code += [MUL, e.derived + 3, e.probe + flux, lay.area]
                    code += [DIV, e.p + rec, e.derived + 3, e.u + qf]
                emit_unit(wiring, unit, (e.u, e.p, e.y), wiring.blocks, st, code, core(self.model),
                          self._varied_in_stage(k, varied))
                # The concentrate leaves the element after its pressure drop.
                code += [SUB, e.concentrate + 2, e.concentrate + 2, lay.drop]
                code += [DIV, e.derived, e.permeate, inlet]
                code += [MUL, e.derived + 1, e.y + unit.output_index["flux"], st.constant(LMH_PER_M_S)]
                self._polarisation(unit, e, st, code)
                inlet = e.concentrate
            # The vessel's permeate, then the stage's flows: the vessel's times the count.
            parts = [e.permeate for e in stage.elements]
            if len(parts) == 1:
                for q in range(width):
                    code += [COPY, stage.vessel_permeate + q, parts[0] + q]
            else:
                code += [MIX, len(parts), stage.vessel_permeate, *parts]
            code += [SUB, stage.derived, stage.vessel_feed + 2, inlet + 2]
            out = blocks[(self.name, f"stage{k + 1}_permeate")]
            code += [MUL, out, stage.vessel_permeate, vessels]
            for q in range(1, width):
                code += [COPY, out + q, stage.vessel_permeate + q]
            # The stage's concentrate (all vessels): the array's, or the next stage's feed.
            last = k == len(lay.stages) - 1
            concentrate = blocks[(self.name, "concentrate")] if last else stage.concentrate
            code += [MUL, concentrate, inlet, vessels]
            for q in range(1, width):
                code += [COPY, concentrate + q, inlet + q]
            stage_feed = concentrate
        permeates = [blocks[(self.name, f"stage{k + 1}_permeate")] for k in range(len(lay.stages))]
        total = blocks[(self.name, "permeate")]
        if len(permeates) == 1:
            for q in range(width):
                code += [COPY, total + q, permeates[0] + q]
        else:
            code += [MIX, len(permeates), total, *permeates]
        self._summaries(lay, total, st, code)

    def _summaries(self, lay: _Layout, permeate: int, st: Constants, code: list[int]) -> None:
        """The largest or smallest of each guarded quantity over every element and vessel,
        and the average flux of the array."""
        at = {name: lay.summary + i for i, name in enumerate(SUMMARY)}
        per_element = {"max_element_recovery": (MAX, 0), "max_flux_lmh": (MAX, 1), "max_polarisation_factor": (MAX, 2)}
        elements = [e for stage in lay.stages for e in stage.elements]
        for name, (op, offset) in per_element.items():
            code += [COPY, at[name], elements[0].derived + offset]
            for e in elements[1:]:
                code += [op, at[name], at[name], e.derived + offset]
        per_stage: dict[str, tuple[int, Callable[[_Stage], int]]] = {"max_feed_flow_per_vessel": (MAX, lambda s: s.vessel_feed),
                     "min_concentrate_flow_per_vessel": (MIN, lambda s: s.elements[-1].concentrate),
                     "max_pressure_drop_bar": (MAX, lambda s: s.derived)}
        for name, (op, where) in per_stage.items():
            code += [COPY, at[name], where(lay.stages[0])]
            for stage in lay.stages[1:]:
                code += [op, at[name], at[name], where(stage)]
        # Average flux: the array's permeate over every element's area.
        scratch = lay.summary + len(SUMMARY)
        code += [MUL, scratch, lay.vessels, st.constant(float(self.elements[0]))]
        for k in range(1, len(lay.stages)):
            code += [MUL, at["average_flux_lmh"], lay.vessels + k, st.constant(float(self.elements[k]))]
            code += [ADD, scratch, scratch, at["average_flux_lmh"]]
        code += [MUL, scratch, scratch, lay.area]
        code += [DIV, at["average_flux_lmh"], permeate, scratch]
        code += [MUL, at["average_flux_lmh"], at["average_flux_lmh"], st.constant(LMH_PER_M_S)]

    def _polarisation(self, unit: Unit, e: _Element, st: Constants, code: list[int]) -> None:
        """Wall over bulk: the model's own factor, or the ratio of wall to feed osmotic pressure."""
        out = e.derived + 2
        tmp = e.derived + 3
        kind = self.element["polarisation"]
        lay = unit.layout
        if kind == "polarisation_factor":
            code += [COPY, out, e.y + unit.output_index["polarisation_factor"]]
            return
        _, t = lay.resolve("temperature_c")
        if kind == "lumped":
            # π(c) = ((c / m) · i · R) · T_K, m in kg/mol: the model's own form.
            _, mm = lay.resolve("solute_molar_mass")
            _, vh = lay.resolve("vant_hoff_factor")
            _, cf = lay.resolve("feed_salinity")
            code += [DIV, tmp, e.p + mm, st.constant(1000.0)]
            code += [DIV, tmp, e.u + cf, tmp]
            code += [MUL, tmp, tmp, e.p + vh]
        else:
            # Σ c_i / M_i over the solutes, as the model sums them.
            code += [COPY, tmp, st.constant(0.0)]
            for i in range(1, 6):
                _, c = lay.resolve(f"solute{i}_feed_conc")
                _, m = lay.resolve(f"solute{i}_molar_mass")
                code += [DIV, out, e.u + c, e.p + m]
                code += [ADD, tmp, tmp, out]
        code += [MUL, tmp, tmp, st.constant(R_GAS)]
        code += [ADD, out, e.u + t, st.constant(273.15)]
        code += [MUL, tmp, tmp, out]
        code += [DIV, tmp, tmp, st.constant(100000.0)]
        code += [DIV, out, e.y + unit.output_index["wall_osmotic_pressure_bar"], tmp]

    def columns(self, lay: _Layout) -> list[tuple[str, int]]:
        """(name, state offset) of every output column of the array, in order."""
        cols = [(name, lay.summary + i) for i, name in enumerate(SUMMARY)]
        cols.append(("element_pressure_drop_bar", lay.drop))
        comps = lay.components
        feed_names = ("feed_flow", "feed_temperature_c", "feed_pressure_bar", *(f"feed_{c}" for c in comps))
        for k, stage in enumerate(lay.stages):
            s = f"stage{k + 1}"
            unit = self.stage_units[k]
            cols += [(f"{s}.vessels", lay.vessels + k),
                     (f"{s}.feed_flow_per_vessel", stage.vessel_feed),
                     (f"{s}.concentrate_flow_per_vessel", stage.elements[-1].concentrate),
                     (f"{s}.pressure_drop_bar", stage.derived)]
            if k > 0:
                cols.append((f"{s}.booster_power_kw", stage.derived + 1))
            inlet = stage.vessel_feed
            for j, e in enumerate(stage.elements):
                head = f"{s}.element{j + 1}"
                cols += [(f"{head}.{n}", inlet + q) for q, n in enumerate(feed_names)]
                cols += [(f"{head}.{slot.name}", e.y + slot.index) for slot in unit.output_slots]
                cols += [(f"{head}.recovery", e.derived), (f"{head}.flux_lmh", e.derived + 1),
                         (f"{head}.polarisation_factor", e.derived + 2)]
                inlet = e.concentrate
        return cols

    def element_rows(self, values: Mapping[str, float]) -> list[dict[str, float]]:
        """The projection table: one dict per element of each stage's representative vessel.

        ``values``: column name (without the array's prefix) -> value."""
        rows: list[dict[str, float]] = []
        for k, n in enumerate(self.elements):
            for j in range(n):
                head = f"stage{k + 1}.element{j + 1}."
                row: dict[str, float] = {"stage": k + 1, "element": j + 1}
                row.update({name[len(head):]: v for name, v in values.items() if name.startswith(head)})
                rows.append(row)
        return rows


class _Layout:
    """Where an array's quantities live in the state vector."""

    # Offsets in the state of the array's settings and summaries.
    area: int
    drop: int
    vessels: int
    boost: int
    boost_eff: int
    summary: int
    variables: dict[str, int]  # row variable -> offset
    copies: list[dict[tuple[str, int], int]]  # stage -> (vector, index) -> source offset
    stages: list[_Stage]
    width: int
    components: tuple[str, ...]
    area_varied: bool


class _Stage:
    # Offsets of one stage's representative vessel's blocks.
    vessel_feed: int
    vessel_permeate: int
    derived: int
    concentrate: int

    def __init__(self) -> None:
        self.elements: list[_Element] = []


class _Element:
    # Offsets of one element's vectors and streams.
    u: int
    p: int
    y: int
    permeate: int
    concentrate: int
    derived: int
    probe: int | None = None


class _Wiring:
    """The links and stream blocks one element's ports see, in the shape the unit emitter reads."""

    def __init__(self, fs: Plant, name: str, inlet: int, element: _Element) -> None:
        self.components = fs.components
        self.ambient_pressure_bar = fs.ambient_pressure_bar
        self._links: dict[Stream, Stream] = {(name, "feed"): (name, "~feed")}
        self.blocks: dict[Stream, int] = {(name, "~feed"): inlet, (name, "permeate"): element.permeate,
                       (name, "concentrate"): element.concentrate}


def _gather(unit: Unit, vectors: tuple[int, int], src: int, st: Constants, code: list[int],
            components: Sequence[str]) -> None:
    """The element's feed stream into its input slots (as the unit emitter does)."""
    u_off, p_off = vectors
    inlet = unit.table.INLETS["feed"]
    lay = unit.layout

    def offset(name: str) -> int:
        vector, index = lay.resolve(name)
        return (u_off if vector == "u" else p_off) + index

    for q, slot in enumerate((inlet.flow, inlet.temperature_c, inlet.pressure_bar)):
        if slot is not None:
            convert_code(code, st, offset(slot.name), src + q, slot.unit, inverse=False)
    for c, component in enumerate(components):
        if component in unit.passed:
            continue  # not modelled: the element's core never reads it
        slot = inlet.components[unit.positions[component]]
        convert_code(code, st, offset(slot.name), src + 3 + c, slot.unit, inverse=False)


def check_counts(plan: object, matrix: NDArray[np.float64]) -> None:
    """Vessel counts varied in rows must be whole numbers of at least 1 (a NaN or an infinity is let
    through: the row comes back flagged)."""
    import numpy as np

    for name, column in getattr(plan, "counts", {}).items():
        values = matrix[:, column]
        bad = np.isfinite(values) & ~((values >= 1.0) & (values <= MAX_VESSELS) & (values == np.floor(values)))
        if bad.any():
            row = int(np.argmax(bad))
            raise FlowsheetError(f"{name}, row {row}: a vessel count must be a whole number from 1 to "
                                 f"{MAX_VESSELS:_}, got {float(values[row])!r}")


# The plan keeps each array's layout between compiling and reading its columns.
ArrayLayout = _Layout

__all__ = ["Array", "GUIDELINES", "ELEMENT_MODELS", "check_counts"]
