"""Compiling a flowsheet to a plan: data that the batch extension executes.

Every quantity of a row lives in one state vector of doubles: each unit's
input, parameter and output vectors, each stream's block of ``width``
doubles (flow m³/s, temperature °C, pressure bar, then the flowsheet's
components in g/m³), each splitter's fractions, the constants of the unit
conversions and three status slots (converged, loop passes, residual).

The code is a flat list of int64 words (the executor in
``batch/plan.cpp`` documents each op):

``COPY d s`` / ``MUL d s k`` / ``DIV d s k``
    a stream quantity into a slot or a slot into a stream quantity, with
    exactly the operation of ``hydrokit.ports.CONVERSIONS`` (``x[k]`` holds
    the constant);
``CORE m u p y``
    the core of ``cores[m]`` on the vectors at ``u`` and ``p`` into ``y``
    (zero-filled first, as ``run`` does);
``ADD d s k`` / ``SUB d s k`` / ``MAX d s k`` / ``MIN d s k``
    a sum, difference, larger or smaller of two slots (a pressure rise or
    drop, a summary over an array's elements; a NaN wins a MAX or MIN);
``MIX n o i1..in`` / ``SPLIT i n f o1..on``
    a mixer and a splitter on stream blocks;
``HEAT i o s d m g``
    a heater (g = 1) or cooler (g = -1) from stream ``i`` into ``o``, to the
    temperature (m = 0) or by the duty (m = 1) at ``x[s]``, the heat moved
    (kW) into ``x[d]``;
``LOOP v b t1..tv``
    the next ``b`` words repeated until the tear values ``t1..tv`` (the
    blocks of the tear streams) stop changing.

Units run in dependency order; each strongly connected group of units is
one loop whose tear streams are the edges that lead back to where the group
is entered (the user may name tears with ``Flowsheet.tear``).
"""

from __future__ import annotations

import heapq
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import Any, Literal, Protocol

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .. import _sweep
from ..layout import LayoutError
from ..ports import Setting
from .array import Array, ArrayLayout
from .emit import HEAT, LOOP, MIX, SPLIT, Plant, emit_unit
from .nodes import STREAM_QUANTITIES, DEFAULT_TEAR_START, Feed, FlowsheetError, Mixer, Splitter, Thermal, Unit
from .nodes import choice_list as _choices

# (node, port) of a stream.
Stream = tuple[str, str]
# One step of the code: a node, or a loop (its nodes in body order and its tear streams).
Step = tuple[Literal["node"], str] | tuple[Literal["loop"], list[str], list[Stream]]

STATUS_COLUMNS = ("converged", "iterations", "residual")


class Flowsheet(Plant, Protocol):
    """What compiling reads of the flowsheet: its nodes, their links and its solver settings."""

    @property
    def _nodes(self) -> Mapping[str, Feed | Unit | Mixer | Splitter | Thermal | Array]: ...  # in the order added

    @property
    def _used(self) -> Mapping[Stream, str]: ...  # outlet -> "target.port" or "product NAME"

    @property
    def _tears(self) -> Mapping[Stream, Mapping[str, float]]: ...  # tear stream -> start quantities

    @property
    def units(self) -> Mapping[str, Unit]: ...

    @property
    def arrays(self) -> Mapping[str, Array]: ...

    @property
    def tolerance(self) -> float: ...

    @property
    def max_iterations(self) -> int: ...

    def _label(self, port: Stream) -> str: ...  # "node.port", or the feed's name


class Plan:
    """A compiled flowsheet: the executor's data and the names of its row inputs and outputs.

    ``names``: the row variables (the columns of a row matrix), ``columns``:
    the names of the output columns (streams ``<stream>.<quantity>``, unit
    outputs ``<unit>.<output>``, then converged, iterations, residual).
    """

    # Set by compile_plan once the plan is built.
    varied: dict[str, list[int]]
    arrays: dict[str, ArrayLayout]
    counts: dict[str, int]
    floors: dict[int, str]

    def __init__(self, *, code: Sequence[int], state: Sequence[float], inputs: Sequence[int],
                 outputs: Sequence[int], cores: Sequence[str], width: int, status: int, tolerance: float, cap: int,
                 names: Sequence[str], columns: Sequence[str], streams: dict[str, int],
                 unit_outputs: dict[str, list[tuple[str, int]]], tears: Sequence[str],
                 power: list[tuple[str, int | None, float]], flags: dict[str, list[int]],
                 fractions: dict[str, tuple[list[float], dict[int, int]]],
                 vectors: dict[str, tuple[int, int, int]]) -> None:
        self.code = np.asarray(code, dtype=np.int64)
        self.state = np.asarray(state, dtype=np.float64)
        self.inputs = np.asarray(inputs, dtype=np.int64)
        self.outputs = np.asarray(outputs, dtype=np.int64)
        self.cores = tuple(cores)
        self.width = int(width)
        self.status = int(status)
        self.tolerance = float(tolerance)
        self.cap = int(cap)
        self.names = tuple(names)
        self.columns = tuple(columns)
        self.column_index = {c: i for i, c in enumerate(self.columns)}
        self.streams = streams            # stream name -> first column of its block
        self.unit_outputs = unit_outputs  # unit -> [(output name, column)]
        self.tears = tuple(tears)         # tear stream names
        self.power = power                # [(unit, output column or None, sign)]
        self.flags = flags                # unit -> [flag output columns]
        self.fractions = fractions        # splitter -> (fixed fractions, {position: row column})
        self.vectors = vectors            # unit -> (u, p, y) offsets in the state
        self._loaded: object | None = None
        # What the table, the results and the design checks work out once per plan, by name; not
        # sent with the plan to another process (it is worked out again there if needed).
        self.memo: dict[str, Any] = {}

    def __getstate__(self) -> dict[str, object]:
        state = dict(self.__dict__)
        state["memo"] = {}
        state["_loaded"] = None  # the executor's copy is rebuilt where the plan is used
        return state

    def loaded(self) -> object:
        if self._loaded is None:
            self._loaded = _sweep.plan_load(self.code, self.state, self.inputs, self.outputs, self.cores,
                                            self.width, self.status, self.tolerance, self.cap)
        return self._loaded

    def run(self, rows: ArrayLike, threads: int = 1, out: NDArray[np.float64] | None = None) -> NDArray[np.float64]:
        """Output matrix (N × len(columns)) of a row matrix (N × len(names)); into ``out`` when given
        (a C-contiguous float64 N × len(columns) array, e.g. a block of rows of a larger one)."""
        matrix = np.require(rows, np.float64, ["C", "A"])
        if matrix.ndim != 2 or matrix.shape[1] != len(self.names):
            raise ValueError(f"flowsheet: rows must have shape (N, {len(self.names)}), got {matrix.shape}")
        shape = (matrix.shape[0], len(self.columns))
        if out is None:
            out = np.empty(shape, dtype=np.float64)
        elif out.shape != shape or out.dtype != np.float64 or not out.flags.c_contiguous:
            raise ValueError(f"flowsheet: out must be a C-contiguous float64 array of shape {shape}")
        _sweep.plan_run(self.loaded(), matrix, out, threads)
        return out


class _State:
    """The state vector being laid out."""

    def __init__(self) -> None:
        self.values: list[float] = []
        self.constants: dict[str, int] = {}  # the value's hex form -> its offset

    def block(self, values: Iterable[float]) -> int:
        start = len(self.values)
        self.values.extend(float(v) for v in values)
        return start

    def constant(self, value: float) -> int:
        key = float(value).hex()
        if key not in self.constants:
            self.constants[key] = self.block([value])
        return self.constants[key]


def _strongly_connected(nodes: Sequence[str], edges: Mapping[str, Sequence[str]]) -> list[list[str]]:
    """Tarjan's groups, each a list of nodes in insertion order.

    Iterative (an explicit stack of (node, next edge)): a chain of any length
    cannot exhaust the interpreter's recursion limit."""
    position = {v: i for i, v in enumerate(nodes)}
    index: dict[str, int] = {}
    low: dict[str, int] = {}
    on_stack: set[str] = set()
    stack: list[str] = []
    groups: list[list[str]] = []
    for root in nodes:
        if root in index:
            continue
        index[root] = low[root] = len(index)
        stack.append(root)
        on_stack.add(root)
        work: list[tuple[str, Iterator[str]]] = [(root, iter(edges[root]))]
        while work:
            v, pending = work[-1]
            for w in pending:
                if w not in index:
                    index[w] = low[w] = len(index)
                    stack.append(w)
                    on_stack.add(w)
                    work.append((w, iter(edges[w])))
                    break
                if w in on_stack:
                    low[v] = min(low[v], index[w])
            else:
                work.pop()
                if work:
                    parent = work[-1][0]
                    low[parent] = min(low[parent], low[v])
                if low[v] == index[v]:
                    group: list[str] = []
                    while True:
                        w = stack.pop()
                        on_stack.discard(w)
                        group.append(w)
                        if w == v:
                            break
                    groups.append(sorted(group, key=position.__getitem__))
    return groups


def _check_connections(fs: Flowsheet) -> None:
    open_inlets = [f"{n}.{port}" for n, node in fs._nodes.items() for port in node.inlets if (n, port) not in fs._links]
    if open_inlets:
        raise FlowsheetError(f"inlet(s) left open: {_choices(open_inlets)}; connect each to a feed or an outlet")
    unused = [n for n, node in fs._nodes.items() if isinstance(node, Feed) and (n, "") not in fs._used]
    if unused:
        raise FlowsheetError(f"feed(s) connected to nothing: {_choices(unused)}")
    for n, unit in fs.units.items():
        groups = [g for g in getattr(unit.table, "EXCLUSIVE", ()) if any((n, port) in fs._used for port in g)]
        if len(groups) > 1:
            raise FlowsheetError(f"unit {n!r} ({unit.model}): outlets {_choices(groups[0])} and {_choices(groups[1])} "
                                 f"describe the same water; use the ports of one group only")
    if not any(not isinstance(node, Feed) for node in fs._nodes.values()):
        raise FlowsheetError("the flowsheet has no units; add one with fs.unit(name, model, ...)")


def _order(fs: Flowsheet) -> list[Step]:
    """Steps in dependency order: ("node", name) or ("loop", [names in body order], [tear streams]).

    Linear in the number of nodes and streams (a heap picks the ready group),
    and without recursion."""
    nodes = [n for n, node in fs._nodes.items() if not isinstance(node, Feed)]
    position = {n: i for i, n in enumerate(nodes)}
    target_of = {src: dst[0] for dst, src in fs._links.items()}  # (node, outlet) -> node it feeds
    sources_of: dict[str, list[str]] = {}                         # node -> nodes feeding it
    for dst, src in fs._links.items():
        sources_of.setdefault(dst[0], []).append(src[0])
    out_edges: dict[str, list[tuple[str, str]]] = {n: [] for n in nodes}  # n -> [(outlet port, target node)]
    for n in nodes:
        for port in fs._nodes[n].outlets:
            d = target_of.get((n, port))
            if d is not None and d in out_edges:
                out_edges[n].append((port, d))
    groups = _strongly_connected(nodes, {n: [d for _, d in out_edges[n]] for n in nodes})
    group_of = {n: g for g, members in enumerate(groups) for n in members}
    # Kahn over the groups, earliest-added first among the ready ones.
    preds: list[set[int]] = [set() for _ in groups]
    succs: list[set[int]] = [set() for _ in groups]
    for n in nodes:
        for _, d in out_edges[n]:
            if group_of[d] != group_of[n]:
                preds[group_of[d]].add(group_of[n])
                succs[group_of[n]].add(group_of[d])
    waiting = [len(p) for p in preds]
    ready = [(position[groups[g][0]], g) for g in range(len(groups)) if not waiting[g]]
    heapq.heapify(ready)
    steps: list[Step] = []
    torn: set[Stream] = set()
    while ready:
        _, g = heapq.heappop(ready)
        for h in succs[g]:
            waiting[h] -= 1
            if not waiting[h]:
                heapq.heappush(ready, (position[groups[h][0]], h))
        members = groups[g]
        cyclic = len(members) > 1 or any(d == members[0] for _, d in out_edges[members[0]])
        if not cyclic:
            steps.append(("node", members[0]))
            continue
        inside = set(members)
        user: set[Stream] = {src for src in fs._tears if src[0] in inside and any(d in inside for p, d in out_edges[src[0]] if p == src[1])}
        torn |= user
        # Depth-first from where the group is entered; an edge back to a node
        # on the path is a tear. Iterative, in the order a recursive search
        # would take: a node is finished after every node it leads to.
        entries = [m for m in members if any(s not in inside for s in sources_of.get(m, ()))]
        state: dict[str, str] = {}
        post: list[str] = []
        tears = set(user)
        for m in entries + members:
            if m in state:
                continue
            state[m] = "open"
            walk: list[tuple[str, Iterator[tuple[str, str]]]] = [(m, iter(out_edges[m]))]
            while walk:
                v, edge = walk[-1]
                for port, d in edge:
                    if d not in inside or (v, port) in tears:
                        continue
                    if state.get(d) == "open":
                        tears.add((v, port))
                    elif d not in state:
                        state[d] = "open"
                        walk.append((d, iter(out_edges[d])))
                        break
                else:
                    walk.pop()
                    state[v] = "done"
                    post.append(v)
        torn |= tears
        steps.append(("loop", post[::-1], sorted(tears, key=lambda s: (position[s[0]], s[1]))))
    stray = [fs._label(src) for src in fs._tears if src not in torn]
    if stray:
        raise FlowsheetError(f"tear stream(s) {_choices(stray)} not in a cycle; streams in cycles can be torn")
    return steps


def compile_plan(fs: Flowsheet, names: Sequence[str]) -> Plan:
    _check_connections(fs)
    steps = _order(fs)
    width = 3 + len(fs.components)
    st = _State()
    blocks: dict[Stream, int] = {}                 # (node, port) -> offset of a stream block
    unit_vec: dict[str, tuple[int, int, int]] = {}  # unit -> (u offset, p offset, y offset)
    fraction_at: dict[str, int] = {}               # splitter -> offset of its fractions
    arrays: dict[str, ArrayLayout] = {}             # array -> its state layout
    thermal_at: dict[str, tuple[int, int]] = {}    # heater or cooler -> (offset of its setting, offset of its duty)
    tear_set = {src for step in steps if step[0] == "loop" for src in step[2]}

    for n, node in fs._nodes.items():
        if isinstance(node, Feed):
            blocks[(n, "")] = st.block([node.values[q] for q in (*STREAM_QUANTITIES, *fs.components)])
            continue
        if isinstance(node, Unit):
            unit_vec[n] = (st.block(node.u0), st.block(node.p0), st.block(np.zeros(node.layout.module.OUTPUT_WIDTH)))
        if isinstance(node, Splitter):
            fraction_at[n] = st.block(node.fractions[:-1])
        if isinstance(node, Array):
            arrays[n] = node.allocate(st, width, names)
        if isinstance(node, Thermal):
            thermal_at[n] = (st.block([node.value]), st.block([0.0]))
        for port in node.outlets:
            start = fs._tears.get((n, port), None)
            if start is None:
                start = dict(DEFAULT_TEAR_START, **{c: 0.0 for c in fs.components})
            blocks[(n, port)] = st.block([start[q] for q in (*STREAM_QUANTITIES, *fs.components)])

    cores: list[str] = []
    core_index: dict[str, int] = {}
    varied = {name for name in names if isinstance(name, str) and _is_setting_pressure(fs, name)}

    def core_of(model: str) -> int:
        if model not in core_index:
            core_index[model] = len(cores)
            cores.append(model)
        return core_index[model]

    def emit_node(n: str, code: list[int]) -> None:
        node = fs._nodes[n]
        if isinstance(node, Mixer):
            code += [MIX, len(node.inlets), blocks[(n, "outlet")], *(blocks[fs._links[(n, p)]] for p in node.inlets)]
            return
        if isinstance(node, Splitter):
            code += [SPLIT, blocks[fs._links[(n, "inlet")]], len(node.outlets), fraction_at[n],
                     *(blocks[(n, p)] for p in node.outlets)]
            return
        if isinstance(node, Array):
            node.emit(fs, blocks, st, code, core_of, arrays[n], varied)
            return
        if isinstance(node, Thermal):
            code += [HEAT, blocks[fs._links[(n, "inlet")]], blocks[(n, "outlet")], *thermal_at[n],
                     0 if node.setting == "outlet_temperature_c" else 1, node.sign]
            return
        assert isinstance(node, Unit), f"{n}: a feed is never a step"
        emit_unit(fs, node, unit_vec[n], blocks, st, code, core_of(node.model), varied)

    code: list[int] = []
    for step in steps:
        if step[0] == "node":
            emit_node(step[1], code)
            continue
        _, members, tears = step
        body: list[int] = []
        for m in members:
            emit_node(m, body)
        values = [blocks[src] + q for src in tears for q in range(width)]
        code += [LOOP, len(values), len(body), *values, *body]

    # Row outputs: every stream, every unit's named outputs, the status.
    status = st.block([0.0, 0.0, 0.0])
    columns: list[str] = []
    outputs: list[int] = []
    streams: dict[str, int] = {}
    unit_outputs: dict[str, list[tuple[str, int]]] = {}
    quantities = (*STREAM_QUANTITIES, *fs.components)
    for n, node in fs._nodes.items():
        for port in node.outlets:
            label = fs._label((n, port))
            streams[label] = len(columns)
            columns += [f"{label}.{q}" for q in quantities]
            outputs += [blocks[(n, port)] + q for q in range(width)]
    for n, node in fs.units.items():
        y = unit_vec[n][2]
        unit_outputs[n] = []
        for slot in node.output_slots:
            unit_outputs[n].append((slot.name, len(columns)))
            columns.append(f"{n}.{slot.name}")
            outputs.append(y + slot.index)
    for n, node in fs.arrays.items():
        unit_outputs[n] = []
        for name, offset in node.columns(arrays[n]):
            unit_outputs[n].append((name, len(columns)))
            columns.append(f"{n}.{name}")
            outputs.append(offset)
    for n, (_, duty) in thermal_at.items():
        unit_outputs[n] = [("duty_kw", len(columns))]
        columns.append(f"{n}.duty_kw")
        outputs.append(duty)
    columns += list(STATUS_COLUMNS)
    outputs += [status, status + 1, status + 2]

    inputs, fractions = _variables(fs, names, blocks, unit_vec, fraction_at, tear_set, thermal_at, arrays)
    # A varied unit, heater, cooler or array setting is read back after the run (no step writes
    # the value a row gives): a NaN or an infinity given there flags its node, even where the
    # model turns it into a clean figure.
    varied_columns: dict[str, list[int]] = {}
    for name, offset in zip(names, inputs):
        head = name.partition(".")[0]
        if (head in unit_vec or head in thermal_at or head in arrays) and not name.startswith("tear."):
            varied_columns.setdefault(head, []).append(len(columns))
            columns.append(f"input.{name}")
            outputs.append(offset)
    power, flags = _power_and_flags(fs, unit_outputs)
    power, flags = _array_power_and_flags(fs, unit_outputs, power, flags)
    plan = Plan(code=code, state=st.values, inputs=inputs, outputs=outputs, cores=cores, width=width,
                status=status, tolerance=fs.tolerance, cap=fs.max_iterations, names=names, columns=columns,
                streams=streams, unit_outputs=unit_outputs, tears=[fs._label(t) for t in sorted(tear_set, key=str)],
                power=power, flags=flags, fractions=fractions, vectors=unit_vec)
    plan.varied = varied_columns  # unit -> the columns of its varied slots, as the row gave them
    plan.arrays = arrays  # array -> where its elements' vectors live in the state
    plan.counts = {name: j for j, name in enumerate(names)
                   if name.partition(".")[0] in arrays and name.endswith(".vessels")}
    # Varied outlet pressure settings: each row's value is checked against ambient.
    plan.floors = {column: name for column, name in enumerate(names) if _is_setting_pressure(fs, name)}
    return plan


def _is_setting_pressure(fs: Flowsheet, name: str) -> bool:
    head, _, rest = name.partition(".")
    unit = fs.units.get(head)
    if unit is None:
        array = fs.arrays.get(head)
        if array is None:
            return False
        # An element slot, shared by every stage or one stage's own.
        stage, rest = array._split(rest)
        unit = array.stage_units[0 if stage is None else stage - 1]
    try:
        slot = unit.layout.resolve(rest)
    except LayoutError:
        return False
    return any(isinstance(o.pressure_bar, Setting) and unit.layout.resolve(o.pressure_bar.name) == slot
               for o in unit.table.OUTLETS.values())


def _variables(fs: Flowsheet, names: Sequence[str], blocks: Mapping[Stream, int],
               unit_vec: Mapping[str, tuple[int, int, int]], fraction_at: Mapping[str, int], tear_set: set[Stream],
               thermal_at: Mapping[str, tuple[int, int]], arrays: Mapping[str, ArrayLayout] | None = None,
               ) -> tuple[list[int], dict[str, tuple[list[float], dict[int, int]]]]:
    """State offsets of the row variables, and what the splitter checks need."""
    inputs: list[int] = []
    seen: dict[int, str] = {}
    fractions: dict[str, tuple[list[float], dict[int, int]]] = {n: (list(node.fractions), {}) for n, node in fs._nodes.items() if isinstance(node, Splitter)}
    quantities = (*STREAM_QUANTITIES, *fs.components)
    for column, name in enumerate(names):
        if not isinstance(name, str):
            raise FlowsheetError(f"variable names are strings 'unit.slot' or 'feed.quantity', not {name!r}")
        head, dot, rest = name.partition(".")
        start = head == "tear"
        if start:
            head, dot, rest = rest.partition(".")
        node = fs._nodes.get(head)
        if node is None or not dot:
            raise FlowsheetError(f"unknown variable {name!r}: write 'unit.slot', 'feed.quantity' or "
                                 f"'splitter.fractionK'; names: {_choices(fs._nodes)}")
        parts = rest.split(".")
        if start:
            if len(parts) != 2 or (head, parts[0]) not in tear_set:
                raise FlowsheetError(f"{name!r}: a tear start is 'tear.<unit>.<port>.<quantity>'; tear streams: "
                                     f"{_choices(fs._label(t) for t in sorted(tear_set, key=str))}")
            if parts[1] not in quantities:
                raise FlowsheetError(f"{name!r}: unknown quantity {parts[1]!r}; choose from: {_choices(quantities)}")
            offset = blocks[(head, parts[0])] + quantities.index(parts[1])
        elif isinstance(node, Feed):
            if rest not in quantities:
                raise FlowsheetError(f"feed {head!r} has no quantity {rest!r}; choose from: {_choices(quantities)}")
            offset = blocks[(head, "")] + quantities.index(rest)
        elif isinstance(node, Splitter):
            valid = [f"fraction{k}" for k in range(1, len(node.outlets))]
            if rest not in valid:
                raise FlowsheetError(f"splitter {head!r} has no variable {rest!r}; choose from: {_choices(valid)} "
                                     f"(the last outlet takes the rest)")
            k = valid.index(rest)
            offset = fraction_at[head] + k
            fractions[head][1][k] = column
        elif isinstance(node, Thermal):
            if rest != node.setting:
                raise FlowsheetError(f"{node.kind} {head!r} has no variable {rest!r}; it is set by {node.setting} "
                                     f"(its duty is the output {head}.duty_kw)")
            offset = thermal_at[head][0]
        elif isinstance(node, Unit):
            vector, index = node.resolve_slot(rest, varied=True)
            u_off, p_off, _ = unit_vec[head]
            offset = (u_off if vector == "u" else p_off) + index
        elif isinstance(node, Array):
            assert arrays is not None, "the arrays' layouts are given wherever the flowsheet has an array"
            if rest not in arrays[head].variables:
                raise FlowsheetError(f"array {head!r} has no variable {rest!r}; choose from: "
                                     f"{_choices(arrays[head].variables)} or an element slot")
            offset = arrays[head].variables[rest]
        else:
            raise FlowsheetError(f"mixer {head!r} has no variables; a torn outlet's start is tear.{head}.outlet.<quantity>")
        if offset in seen:
            raise FlowsheetError(f"variables {seen[offset]!r} and {name!r} name the same value")
        seen[offset] = name
        inputs.append(offset)
    return inputs, {n: f for n, f in fractions.items() if f[1]}


def _power_and_flags(fs: Flowsheet, unit_outputs: Mapping[str, list[tuple[str, int]]],
                     ) -> tuple[list[tuple[str, int | None, float]], dict[str, list[int]]]:
    """Each unit's electric power terms (column, sign) and flag columns."""
    power: list[tuple[str, int | None, float]] = []
    flags: dict[str, list[int]] = {}
    for n, unit in fs.units.items():
        columns = dict(unit_outputs[n])
        for output, kind in getattr(unit.table, "POWER", ()):
            if output not in columns:
                raise FlowsheetError(f"{unit.model}: power output {output!r} is not an output of the unit")
            power.append((n, columns[output], _power_sign(unit.model, kind)))
        flags[n] = [columns[f] for f in getattr(unit.table, "FLAGS", ()) if f in columns]
    return power, flags


def _power_sign(model: str, kind: str) -> float:
    """How a model's power output of this kind counts in the plant's electric power."""
    if kind == "drive":
        return 1.0
    if kind == "feed_pump":
        # A stream's pressure is paid for where it is raised (pump units, an
        # array's boosters); the pump a membrane model assumes in front of
        # itself is that unit's information only.
        return 0.0
    if kind == "recovered":
        return -1.0
    raise FlowsheetError(f"{model}: unknown power kind {kind!r}; kinds: drive, feed_pump, recovered")


def _array_power_and_flags(fs: Flowsheet, unit_outputs: Mapping[str, list[tuple[str, int]]],
                           power: list[tuple[str, int | None, float]], flags: dict[str, list[int]],
                           ) -> tuple[list[tuple[str, int | None, float]], dict[str, list[int]]]:
    """Arrays: each element's power outputs by the units' rule (a feed pump is never counted), and
    the interstage boosters as pump power; every element's flag outputs are the array's flags."""
    for n, node in fs.arrays.items():
        columns = dict(unit_outputs[n])
        for k, elements in enumerate(node.elements, 1):
            for j in range(1, elements + 1):
                for output, kind in getattr(node.table, "POWER", ()):
                    power.append((n, columns[f"stage{k}.element{j}.{output}"], _power_sign(node.model, kind)))
        for k in range(2, len(node.vessels) + 1):
            power.append((n, columns[f"stage{k}.booster_power_kw"], 1.0))
        own = [f for f in getattr(node.table, "FLAGS", ())]
        flags[n] = [j for name, j in unit_outputs[n] if name.rpartition(".")[2] in own]
    return power, flags
