"""One unit's code in a plan: the op codes, a stream quantity into a slot and back, and a
unit's gather, core and scatter.

Below both the plan compiler and the membrane arrays (which emit their elements through
``emit_unit``), so neither imports the other's module to write code. The executor in
``batch/plan.cpp`` documents each op.
"""

from __future__ import annotations

from collections.abc import Collection, Mapping, Sequence
from typing import Protocol

from ..ports import CONVERSIONS, Ambient, Fixed, Outlet, Same, Setting, Slot
from .nodes import STREAM_QUANTITIES, FlowsheetError, Unit
from .nodes import choice_list as _choices

# (node, port) of a stream.
Stream = tuple[str, str]


class Plant(Protocol):
    """What writing a unit's code reads of the flowsheet."""

    @property
    def components(self) -> Sequence[str]: ...

    @property
    def ambient_pressure_bar(self) -> float: ...  # bar absolute

    @property
    def _links(self) -> Mapping[Stream, Stream]: ...  # (node, inlet) -> the (node, outlet) feeding it


class Constants(Protocol):
    """The state being laid out: the offset of a constant, stored once."""

    def constant(self, value: float) -> int: ...

COPY, MUL, DIV, CORE, MIX, SPLIT, LOOP, HEAT, ADD, SUB, MAX, MIN = 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12


def convert_code(code: list[int], st: Constants, dst: int, src: int, unit: str, inverse: bool) -> None:
    conversion = CONVERSIONS[unit]
    if conversion is None:
        code += [COPY, dst, src]
        return
    op, constant = conversion
    if inverse:
        op = "div" if op == "mul" else "mul"
    code += [MUL if op == "mul" else DIV, dst, src, st.constant(constant)]


_convert = convert_code


def emit_unit(fs: Plant, unit: Unit, vectors: tuple[int, int, int], blocks: Mapping[Stream, int], st: Constants,
              code: list[int], core: int, varied: Collection[str] = ()) -> None:
    u_off, p_off, y_off = vectors
    lay = unit.layout

    def slot_offset(name: str) -> int:
        vector, index = lay.resolve(name)
        return (u_off if vector == "u" else p_off) + index

    # Gather: each inlet stream into the slots its port names.
    for port, inlet in unit.table.INLETS.items():
        src = blocks[fs._links[(unit.name, port)]]
        for q, slot in enumerate((inlet.flow, inlet.temperature_c, inlet.pressure_bar)):
            if slot is not None:
                _convert(code, st, slot_offset(slot.name), src + q, slot.unit, inverse=False)
        for c, component in enumerate(fs.components):
            if inlet.components is None:
                break  # the model reads none of this stream's components
            if component in unit.passed:
                continue  # not modelled: it passes by the unit's rule
            slot = inlet.components[unit.positions[component]]
            _convert(code, st, slot_offset(slot.name), src + 3 + c, slot.unit, inverse=False)
    code += [CORE, core, u_off, p_off, y_off]

    # Scatter: each outlet stream from output slots, inlet streams, settings or constants.
    for port, outlet in unit.table.OUTLETS.items():
        dst = blocks[(unit.name, port)]

        def fill(q: int, source: object, component: int | None = None) -> None:
            where = f"{unit.model} outlet {port!r}"
            if isinstance(source, Slot):
                if source.name not in unit.output_index:
                    raise FlowsheetError(f"{where}: no output {source.name!r}; outputs: {_choices(unit.output_index)}")
                _convert(code, st, dst + q, y_off + unit.output_index[source.name], source.unit, inverse=True)
            elif isinstance(source, Same):
                if source.port not in unit.table.INLETS:
                    raise FlowsheetError(f"{where}: no inlet {source.port!r}; inlets: {_choices(unit.inlets)}")
                src = blocks[fs._links[(unit.name, source.port)]]
                if source.quantity == "component" and component is not None:
                    offset = 3 + component
                else:
                    offset = STREAM_QUANTITIES.index(source.quantity)
                code.extend([COPY, dst + q, src + offset])
            elif isinstance(source, Setting):
                if q == 2 and not any(name.startswith(f"{unit.name}.") for name in varied):
                    _check_above_ambient(fs, unit, source)  # a varied value is checked per row
                _convert(code, st, dst + q, slot_offset(source.name), source.unit, inverse=True)
            elif isinstance(source, Fixed):
                code.extend([COPY, dst + q, st.constant(source.value)])
            elif isinstance(source, Ambient):
                code.extend([COPY, dst + q, st.constant(fs.ambient_pressure_bar)])
            else:
                raise FlowsheetError(f"{where}: unknown source {source!r}")

        fill(0, outlet.flow)
        fill(1, outlet.temperature_c)
        fill(2, outlet.pressure_bar)
        for c, component in enumerate(fs.components):
            if isinstance(outlet.components, Same):  # every component of that inlet passes through
                fill(3 + c, outlet.components, c)
                continue
            rule = unit.passed.get(component)
            if rule is not None:
                _emit_pass(fs, unit, port, outlet, rule, c, blocks, st, code)
                continue
            position = unit.positions[component]
            if position >= len(outlet.components):
                raise FlowsheetError(f"unit {unit.name!r} ({unit.model}): outlet {port!r} cannot carry "
                                     f"component {component!r}")
            fill(3 + c, outlet.components[position], c)


_emit_unit = emit_unit


def _emit_pass(fs: Plant, unit: Unit, port: str, outlet: Outlet, rule: str, c: int, blocks: Mapping[Stream, int],
               st: Constants, code: list[int]) -> None:
    """A component the unit does not model, into one outlet by the unit's pass rule."""
    dst = blocks[(unit.name, port)]
    src = blocks[fs._links[(unit.name, outlet.of)]]
    if rule == "through":
        # It passes the membrane unchanged: every outlet at the inlet's concentration.
        code += [COPY, dst + 3 + c, src + 3 + c]
    elif port == "concentrate":
        # Wholly retained: the inlet's load (c · Q) in the concentrate's flow,
        # which is already in the outlet block.
        code += [MUL, dst + 3 + c, src + 3 + c, src, DIV, dst + 3 + c, dst + 3 + c, dst]
    else:
        code += [COPY, dst + 3 + c, st.constant(0.0)]


def _check_above_ambient(fs: Plant, unit: Unit, source: Setting) -> None:
    """An outlet pressure the unit is set to (not one its model computes) is not below ambient."""
    vector, index = unit.layout.resolve(source.name)
    value = float((unit.u0 if vector == "u" else unit.p0)[index])
    if not value >= fs.ambient_pressure_bar:
        raise FlowsheetError(f"unit {unit.name!r} ({unit.model}): {source.name} = {value!r} bar is below the "
                             f"ambient pressure {fs.ambient_pressure_bar!r} bar; a stream the model does not "
                             f"pressurise leaves at ambient or above")
