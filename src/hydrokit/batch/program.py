"""Column programs: derived columns of a result table, traced once, then computed in one compiled call.

A result table's derived columns (KPIs, cost lines, an optimiser's scores)
are NumPy expressions over the columns of a flowsheet's row matrix and
output matrix. Run on a few hundred rows at a time, as an optimiser does,
their cost is NumPy's per-operation overhead, not the arithmetic. Here the
same expressions are run once on traced columns (``Expr``): each operation
is recorded instead of computed, and the record is compiled into a program
that ``run`` executes over whole matrices in one call of the compiled
engine. The expressions are written once and read by both ways of running
them; every recorded operation is the one NumPy applies, element by element
and in the written order, so the program's columns have the bits of NumPy's.
Operations the engine does not carry (``**`` and any other ufunc) are
computed by NumPy itself between compiled stretches.

>>> p = Program(rows_width=2, out_width=1)
>>> rows, out = p.rows(), p.out()
>>> run = p.compile([np.where(out[:, 0] > 0, rows[:, 0] * 2.0 + rows[:, 1], np.inf)])
>>> run(np.array([[1.0, 0.5], [3.0, 1.0]]), np.array([[1.0], [-1.0]]))
array([[2.5, inf]])
"""

from __future__ import annotations

import struct
from collections.abc import Callable, Collection, Iterable, Sequence
from typing import Any, ClassVar, Literal, NoReturn, SupportsInt, TypeAlias, TypeGuard, cast

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .. import _sweep

__all__ = ["Program", "Expr", "TraceError", "column"]

# Operation codes of the compiled engine (columns.cpp), in its order.
(LOAD_ROWS, LOAD_OUT, CONST, ADD, SUB, MUL, DIV, GT, GE, LT, LE, EQ, NE, AND, OR, NOT, ISFINITE, WHERE,
 MAXIMUM, MINIMUM, CLIP, NEG, BAD_COUNT) = range(23)

_UFUNCS: dict[np.ufunc, int] = {
    np.add: ADD, np.subtract: SUB, np.multiply: MUL, np.true_divide: DIV, np.greater: GT, np.greater_equal: GE,
    np.less: LT, np.less_equal: LE, np.equal: EQ, np.not_equal: NE, np.logical_and: AND, np.logical_or: OR,
    np.logical_not: NOT, np.isfinite: ISFINITE, np.maximum: MAXIMUM, np.minimum: MINIMUM, np.negative: NEG,
}
# On truth values (1.0 / 0.0) the bitwise operators are the logical ones.
_UFUNCS.update({np.bitwise_and: AND, np.bitwise_or: OR, np.invert: NOT})


# A number that enters a program as a constant, as written or as a 0-d array (any other array is
# refused when it is recorded).
Number: TypeAlias = bool | int | float | np.number[Any] | np.bool_
Scalar: TypeAlias = Number | NDArray[Any]
# What a traced column's operators take: another traced column of the same program, or a number.
# (NumPy's arrays meet a traced column through __array_ufunc__ instead.)
Operand: TypeAlias = "Expr | Number"
# A NumPy function run between compiled stretches (``**`` and the ufuncs the engine does not carry).
HostFunction: TypeAlias = Callable[..., Any]
# A recorded operation. ("vm", op, operand nodes, extra) for the engine, extra being the column of
# a load, the value of a constant, or (table, group count) of a bad count (0 otherwise);
# ("host", function, operand nodes, constants) for NumPy, a None node standing for the constant
# at the same place.
VmNode: TypeAlias = tuple[Literal["vm"], int, tuple[int, ...], float | tuple[tuple[int, ...], int]]
HostNode: TypeAlias = tuple[Literal["host"], HostFunction, tuple[int | None, ...], tuple[Scalar | None, ...]]
Node: TypeAlias = VmNode | HostNode
# A NumPy step of a compiled program: (register written, function, operand registers (None: the
# constant at the same place), constants).
HostStep: TypeAlias = tuple[int, HostFunction, tuple[int | None, ...], tuple[Scalar | None, ...]]


def column(values: Any) -> Any:
    """A table column as float64: an array, or a traced column as it is."""
    return values if isinstance(values, Expr) else np.asarray(values, dtype=np.float64)


class TraceError(TypeError):
    """An expression that a column program cannot record (a branch on a traced value, an unknown operand)."""


class Expr:
    """A traced column: a node of a Program. Arithmetic, comparisons, logic and NumPy's ufuncs,
    ``np.where``, ``np.clip``, ``np.ones_like`` and ``np.zeros_like`` record a new node."""

    __slots__ = ("program", "node", "boolean")
    __array_priority__ = 1000

    def __init__(self, program: Program, node: int, boolean: bool = False) -> None:
        # boolean: a truth value (NumPy's bool), held as 1.0 or 0.0.
        self.program, self.node, self.boolean = program, node, boolean

    # Each operator records one node; the reflected ones take the other operand first.
    def __add__(self, other: Operand) -> Expr:
        return self.program.emit(ADD, self, other)

    def __radd__(self, other: Operand) -> Expr:
        return self.program.emit(ADD, other, self)

    def __sub__(self, other: Operand) -> Expr:
        return self.program.emit(SUB, self, other)

    def __rsub__(self, other: Operand) -> Expr:
        return self.program.emit(SUB, other, self)

    def __mul__(self, other: Operand) -> Expr:
        return self.program.emit(MUL, self, other)

    def __rmul__(self, other: Operand) -> Expr:
        return self.program.emit(MUL, other, self)

    def __truediv__(self, other: Operand) -> Expr:
        return self.program.emit(DIV, self, other)

    def __rtruediv__(self, other: Operand) -> Expr:
        return self.program.emit(DIV, other, self)

    def __and__(self, other: Operand) -> Expr:
        return self.program.emit(AND, self, other)

    def __rand__(self, other: Operand) -> Expr:
        return self.program.emit(AND, other, self)

    def __or__(self, other: Operand) -> Expr:
        return self.program.emit(OR, self, other)

    def __ror__(self, other: Operand) -> Expr:
        return self.program.emit(OR, other, self)

    def __gt__(self, other: Operand) -> Expr:
        return self.program.emit(GT, self, other)

    def __ge__(self, other: Operand) -> Expr:
        return self.program.emit(GE, self, other)

    def __lt__(self, other: Operand) -> Expr:
        return self.program.emit(LT, self, other)

    def __le__(self, other: Operand) -> Expr:
        return self.program.emit(LE, self, other)

    # Comparisons are element by element, as on NumPy's arrays: a traced column of truth values,
    # not one bool, which is what ``object`` declares.
    def __eq__(self, other: Operand) -> Expr:  # type: ignore[override]
        return self.program.emit(EQ, self, other)

    def __ne__(self, other: Operand) -> Expr:  # type: ignore[override]
        return self.program.emit(NE, self, other)

    # Unhashable, like NumPy's arrays (object's __hash__ is typed as always present).
    __hash__: ClassVar[None] = None  # type: ignore[assignment]

    def __neg__(self) -> Expr:
        return self.program.emit(NEG, self)

    def __pos__(self) -> Expr:
        return self

    def __invert__(self) -> Expr:
        return self.program.emit(NOT, self)

    def __pow__(self, other: Operand) -> Expr:
        return self.program.host(np.power, self, other)

    def __rpow__(self, other: Operand) -> Expr:
        return self.program.host(np.power, other, self)

    def copy(self) -> Expr:
        return self  # nodes are never changed in place

    def __bool__(self) -> NoReturn:
        raise TraceError("a traced column has no truth value: the expression branches on its data")

    def __array_ufunc__(self, ufunc: np.ufunc, method: str, *inputs: object,
                        **kwargs: object) -> Any:
        # A traced column, or NotImplemented (which the type checker knows only as Any).
        if method != "__call__" or kwargs:
            return NotImplemented
        op = _UFUNCS.get(ufunc)
        if op is None:
            return self.program.host(ufunc, *inputs)
        return self.program.emit(op, *inputs)

    def __array_function__(self, func: Callable[..., Any], types: Collection[type], args: tuple[Any, ...],
                           kwargs: dict[str, Any]) -> Expr | int:
        if func is np.where and len(args) == 3 and not kwargs:
            return self.program.emit(WHERE, *args)
        if func is np.clip and len(args) == 3 and not kwargs:
            return self.program.emit(CLIP, *args)
        if func in (np.ones_like, np.zeros_like) and set(kwargs) <= {"dtype"}:
            boolean = np.dtype(kwargs.get("dtype") or np.float64) == bool
            return self.program.constant(1.0 if func is np.ones_like else 0.0, boolean)
        if func is np.ndim:
            return 1
        raise TraceError(f"{func.__name__} cannot be recorded in a column program")


def _scalar(value: object) -> TypeGuard[Scalar]:
    """A number that enters a program as a constant."""
    return isinstance(value, (bool, int, float, np.number, np.bool_)) or (
        isinstance(value, np.ndarray) and value.ndim == 0)


def _arity(op: int) -> int:
    if op in (LOAD_ROWS, LOAD_OUT, CONST, BAD_COUNT):
        return 0
    if op in (NOT, ISFINITE, NEG):
        return 1
    if op in (WHERE, CLIP):
        return 3
    return 2


class _Source:
    """The columns of the row matrix or the output matrix: ``source[:, j]`` is column j."""

    def __init__(self, program: Program, op: int, width: int) -> None:
        self.program, self.op, self.width = program, op, width
        self.loaded: dict[int, Expr] = {}

    def __getitem__(self, key: object) -> Expr:
        if not (isinstance(key, tuple) and len(key) == 2 and key[0] == slice(None)):
            raise TraceError(f"a traced matrix is read a column at a time ([:, j]), not [{key!r}]")
        j = int(key[1])
        if not 0 <= j < self.width:
            raise IndexError(f"column {j} out of range for width {self.width}")
        found = self.loaded.get(j)
        if found is None:
            found = self.loaded[j] = self.program.append(("vm", self.op, (), j))
        return found


class Program:
    """A column program being traced over a row matrix of ``rows_width`` columns and an output
    matrix of ``out_width``; ``compile(outputs)`` makes it runnable."""

    def __init__(self, rows_width: SupportsInt, out_width: SupportsInt) -> None:
        self.rows_width, self.out_width = int(rows_width), int(out_width)
        self.nodes: list[Node] = []
        self.constants: dict[tuple[bytes, bool], Expr] = {}

    def rows(self) -> _Source:
        return _Source(self, LOAD_ROWS, self.rows_width)

    def out(self) -> _Source:
        return _Source(self, LOAD_OUT, self.out_width)

    def append(self, node: Node, boolean: bool = False) -> Expr:
        self.nodes.append(node)
        return Expr(self, len(self.nodes) - 1, boolean)

    def constant(self, value: Scalar, boolean: bool | None = None) -> Expr:
        if boolean is None:
            boolean = isinstance(value, (bool, np.bool_)) or (isinstance(value, np.ndarray) and value.dtype == bool)
        number = float(value)
        key = (struct.pack("<d", number), boolean)  # -0.0 and each NaN kept apart
        found = self.constants.get(key)
        if found is None:
            found = self.constants[key] = self.append(("vm", CONST, (), number), boolean)
        return found

    def operand(self, value: object) -> Expr:
        if isinstance(value, Expr):
            if value.program is not self:
                raise TraceError("an expression of another column program")
            return value
        if _scalar(value):
            return self.constant(value)
        raise TraceError(f"a column program cannot take {type(value).__name__} operands")

    def emit(self, op: int, *operands: object) -> Expr:
        values = [self.operand(v) for v in operands]
        if len(values) != _arity(op):
            raise TraceError(f"operation {op} takes {_arity(op)} operands, got {len(values)}")
        truth = [v.boolean for v in values]
        # NumPy computes these on booleans (True + True is True, -True an error); a program
        # holds truth values as numbers, so it does not record them.
        if (op in (ADD, SUB, MUL, DIV) and all(truth)) or (op == NEG and truth[0]):
            raise TraceError("arithmetic on truth values is NumPy's boolean arithmetic")
        if op in (GT, GE, LT, LE, EQ, NE, AND, OR, NOT, ISFINITE):
            boolean = True
        elif op == WHERE:
            boolean = truth[1] and truth[2]
        elif op in (MAXIMUM, MINIMUM):
            boolean = all(truth)
        else:
            boolean = False
        return self.append(("vm", op, tuple(v.node for v in values), 0), boolean)

    def host(self, func: HostFunction, *operands: object) -> Expr:
        """A NumPy operation run by NumPy on the traced columns (constants passed as they are)."""
        args: list[Expr | Scalar] = []
        for v in operands:
            if isinstance(v, Expr):
                args.append(self.operand(v))
            elif _scalar(v):
                args.append(v)
            else:
                raise TraceError(f"a column program cannot take {type(v).__name__} operands")
        nodes = tuple(a.node if isinstance(a, Expr) else None for a in args)
        values = tuple(None if isinstance(a, Expr) else a for a in args)
        # Its kind of result (a truth value or a number), from the same operation on one element.
        with np.errstate(all="ignore"):
            sample = func(*[np.ones(1, dtype=bool if a.boolean else np.float64) if isinstance(a, Expr) else a
                            for a in args])
        return self.append(("host", func, nodes, values), np.asarray(sample).dtype == bool)

    def bad_count(self, groups: Sequence[tuple[Iterable[SupportsInt], Iterable[SupportsInt]]]) -> Expr:
        """Per row, how many of ``groups`` ((flag columns, stream columns) of the output matrix)
        have a non-zero flag or a non-finite stream value."""
        table: list[int] = []
        for group_flags, group_streams in groups:
            flags, streams = [int(j) for j in group_flags], [int(j) for j in group_streams]
            table += [len(flags), len(streams), *flags, *streams]
        return self.append(("vm", BAD_COUNT, (), (tuple(table), len(groups))))

    def compile(self, outputs: Iterable[Operand]) -> _Compiled:
        """A function ``run(rows, out) -> (len(outputs) × N) float64 array`` of the traced outputs.

        Only the nodes the outputs need are kept; each register is a row of one (registers × N)
        matrix. Stretches of engine operations run in one compiled call each, NumPy operations in
        between."""
        targets = [self.operand(v).node for v in outputs]
        needed = set(targets)
        for index in range(len(self.nodes) - 1, -1, -1):
            if index in needed:
                needed.update(a for a in self.nodes[index][2] if a is not None)
        order = sorted(needed)
        # Registers: the outputs first, in order (so that the result is a view of the first
        # rows), each other node in a register freed after its last reader, so that the few
        # registers in use stay in the cache.
        last_use: dict[int, int] = {}
        for node in order:
            for a in self.nodes[node][2]:
                if a is not None:
                    last_use[a] = node
        register: dict[int, int] = {}
        for node in targets:
            register.setdefault(node, len(register))
        fixed = len(register)
        free: list[int] = []
        count = fixed
        freed: set[int] = set()  # the registers in ``free``, for a membership test in constant time
        steps: list[_Stretch | HostStep] = []
        stretch = _Stretch()
        for node in order:
            entry = self.nodes[node]
            args = entry[2]
            operands = [None if a is None else register[a] for a in args]
            # An operand read here for the last time gives its register back before the result
            # takes one: an element is read before it is written, so the two may share it.
            for a in args:
                if a is not None and last_use.get(a) == node and register[a] >= fixed and register[a] not in freed:
                    free.append(register[a])
                    freed.add(register[a])
            if node not in register:
                if free:
                    register[node] = free.pop()
                    freed.discard(register[node])
                else:
                    register[node] = count
                    count += 1
            d = register[node]
            if entry[0] == "host":
                if stretch.code:
                    steps.append(stretch)
                    stretch = _Stretch()
                steps.append((d, entry[1], tuple(operands), entry[3]))
            else:
                stretch.add(entry[1], d, [r for r in operands if r is not None], entry[3])
        if stretch.code:
            steps.append(stretch)
        loaded = [s.load(count, self.rows_width, self.out_width) if isinstance(s, _Stretch) else s for s in steps]
        registers = [register[node] for node in targets]
        return _Compiled(loaded, count, registers, distinct=len(set(targets)) == len(targets))


class _Stretch:
    """Consecutive engine operations, loaded as one compiled program."""

    def __init__(self) -> None:
        self.code: list[int] = []
        self.consts: list[float] = []
        self.table: list[int] = []

    def add(self, op: int, d: int, regs: list[int], extra: float | tuple[tuple[int, ...], int]) -> None:
        # What ``extra`` holds follows from the operation (see VmNode).
        words = [op, d, 0, 0, 0]
        words[2:2 + len(regs)] = regs
        if op in (LOAD_ROWS, LOAD_OUT):
            words[2] = cast(int, extra)
        elif op == CONST:
            words[2] = len(self.consts)
            self.consts.append(cast(float, extra))
        elif op == BAD_COUNT:
            table, groups = cast(tuple[tuple[int, ...], int], extra)
            words[2], words[3] = len(self.table), groups
            self.table += table
        self.code += words

    def load(self, registers: int, rows_width: int, out_width: int) -> Any:
        # The engine's loaded program: an object of the compiled extension.
        return _sweep.program_load(np.array(self.code, dtype=np.int64), np.array(self.consts, dtype=np.float64),
                                   np.array(self.table, dtype=np.int64), registers, rows_width, out_width)


class _Compiled:
    # steps: NumPy steps and the engine's loaded programs (objects of the compiled extension).
    def __init__(self, steps: list[HostStep | Any], registers: int, outputs: list[int], distinct: bool) -> None:
        self.steps, self.registers = steps, registers
        self.outputs = np.array(outputs, dtype=np.intp)
        # Distinct outputs sit in the first registers: the result is a view of them.
        self.view = len(outputs) if distinct else None

    def __call__(self, rows: ArrayLike, out: ArrayLike) -> NDArray[np.float64]:
        row_matrix = np.ascontiguousarray(rows, dtype=np.float64)
        out_matrix = np.ascontiguousarray(out, dtype=np.float64)
        regs = np.empty((self.registers, len(out_matrix)), dtype=np.float64)
        for step in self.steps:
            if isinstance(step, tuple):
                d, func, args, values = step
                # Fresh operands, as NumPy would see them in the expression itself.
                operands = [values[k] if a is None else regs[a].copy() for k, a in enumerate(args)]
                with np.errstate(all="ignore"):
                    regs[d] = func(*operands)
            else:
                _sweep.program_run(step, regs, row_matrix, out_matrix)
        return regs[:self.view] if self.view is not None else regs[self.outputs]
