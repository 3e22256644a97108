"""A seeded global search with a local polish over any vectorised evaluation.

``search(evaluate, names, bounds, objective, constraints)`` knows nothing of
plants: ``evaluate(names, matrix, columns)`` returns a table (column name ->
one value per row) and the search ranks its rows by the feasibility rule (a
feasible point beats an infeasible one, two feasible points compare by
objective, two infeasible points by their total constraint violation).
:func:`hydrokit.optimize.optimize` adapts a flowsheet to it.

The defaults below are the one set both use.
"""

from __future__ import annotations

import functools
import itertools
import math
import re
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from .batch.program import TraceError
from .batch.program import column as _column

__all__ = ["Constraint", "OptimizeError", "parse_constraint", "search", "OPERATORS", "POPSIZE", "MAXITER",
           "PATIENCE", "RTOL", "POLISH_TOL"]

OPERATORS = ("<=", ">=")

Array = NDArray[np.float64]
# A table: column name -> one value per row (an array, or a traced column inside a column program).
Table = Mapping[str, Any]
# evaluate(names, matrix, columns or None) -> table
Evaluate = Callable[[list[str], Array, "list[str] | None"], Table]
Objective = str | Callable[[Table], Any]
# compile(derive) -> run(matrix) -> scores, derive(table) -> score columns
Compile = Callable[[Callable[[Table], list[Any]]], Callable[[Array], Any]]
# The search's defaults: population per varied name, most generations, generations without a
# relative gain of RTOL before the global search stops, and the polish's last step as a fraction
# of each range.
POPSIZE = 8
MAXITER = 200
PATIENCE = 1
RTOL = 1e-2
POLISH_TOL = 3e-3


class OptimizeError(ValueError):
    """A mistake in an optimisation request; the message names what is wrong and the valid choices."""


@dataclass(frozen=True)
class Constraint:
    """``column <= bound`` or ``column >= bound`` on a column of the result table."""

    column: str
    op: str
    bound: float

    def __post_init__(self) -> None:
        # Strict and non-strict bounds are the same thing for a continuous quantity.
        object.__setattr__(self, "op", {"=<": "<=", "<": "<=", "=>": ">=", ">": ">="}.get(self.op, self.op))
        if self.op not in OPERATORS:
            raise OptimizeError(f"constraint on {self.column!r}: operator {self.op!r} unknown; "
                                f"choose from: {', '.join(OPERATORS)}")
        if not math.isfinite(self.bound):
            raise OptimizeError(f"constraint on {self.column!r}: bound must be finite, got {self.bound!r}")

    def excess(self, values: Any) -> Any:
        """Per row: how far the constraint is broken, relative to the bound's size (0 where it holds)."""
        scale = abs(self.bound) if self.bound != 0 else 1.0
        g = (values - self.bound) if self.op == "<=" else (self.bound - values)
        return g / scale

    def __str__(self) -> str:
        return f"{self.column}{self.op}{self.bound:g}"


_CONSTRAINT = re.compile(r"^\s*([^<>=\s]+)\s*(<=|>=|=<|=>|<|>|==|=)\s*(\S+)\s*$")


def parse_constraint(item: Any) -> Constraint:
    """A Constraint from ``(column, op, bound)`` or text like ``"kpi.recovery>=0.5"``."""
    if isinstance(item, Constraint):
        return item
    if isinstance(item, str):
        match = _CONSTRAINT.match(item)
        if not match:
            raise OptimizeError(f"constraint {item!r} must read NAME<=VALUE or NAME>=VALUE")
        column, op, text = match.groups()
        try:
            bound = float(text)
        except ValueError:
            raise OptimizeError(f"constraint {item!r}: bound {text!r} is not a number") from None
        return Constraint(column, op, bound)
    try:
        column, op, bound = item
    except (TypeError, ValueError):
        raise OptimizeError(f"a constraint is (name, '<=' or '>=', bound) or 'name<=bound', got {item!r}") from None
    try:
        bound = float(bound)
    except (TypeError, ValueError):
        raise OptimizeError(f"constraint on {column!r}: bound {bound!r} is not a number") from None
    return Constraint(str(column), str(op), bound)


class _Problem:
    """Objective and constraint values of a batch of points: one evaluation per batch.

    With ``compile`` (a function of ``derive`` returning ``run(matrix) -> array``), the scores
    of a column objective are computed by one compiled column program per batch; the table is
    then built only for the final point (``full``)."""

    def __init__(self, evaluate: Evaluate, names: Sequence[str], objective: Objective,
                 constraints: Sequence[Constraint], maximize: bool, cost_model: Any = None,
                 columns: Iterable[str] | None = None, compile: Compile | None = None,
                 checks: Sequence[tuple[str, float]] = ()) -> None:
        self.evaluate = evaluate
        # (margin column, scale) of every design check that binds, and the count columns read.
        self.checks = [(column, scale) for column, scale in checks if column.startswith("check.")]
        self.counts = [column for column, _ in checks if column.startswith("checks.")]
        self.names = list(names)
        self.objective = objective
        self.constraints = list(constraints)
        self.sign = -1.0 if maximize else 1.0
        self.cost_model = cost_model
        self.rows = 0
        self.calls = 0
        # The columns read (worked out at the first table): from every column of the table when
        # the caller knows them, else from the first table.
        self.known = columns
        self.wanted: list[str] | None = None
        self.compiled: Callable[[Array], Any] | None = None
        if compile is not None and not callable(objective):
            try:
                self.compiled = compile(lambda table: self.derive(self.with_costs(table)))
            except TraceError:
                pass  # an expression the program cannot record: the scores come from the table

    def read(self) -> set[str]:
        """The columns the objective, the constraints, the validity test and the cost lines read."""
        read: set[Any] = {self.objective, "converged", "flagged", *self.names, *(c.column for c in self.constraints),
                *self.counts, *(column for column, _ in self.checks)}
        if self.cost_model is not None:
            read |= self.cost_model.columns_read()
        return read

    def table(self, x: Array, full: bool = False) -> Table:
        """The result table of points ``x`` (S × N), cost columns added when a cost model is given.

        After the first call only the columns the objective, the constraints and the cost lines
        read are built (a function objective gets every column), unless ``full``."""
        matrix = np.ascontiguousarray(x, dtype=np.float64)
        if self.wanted is None and self.known is not None and not callable(self.objective):
            self.wanted = sorted(self.read() & set(self.known))
        columns = None if full or self.wanted is None else self.wanted
        table = self.evaluate(self.names, matrix, columns)
        if self.wanted is None and not callable(self.objective):
            self.wanted = sorted(self.read() & set(table))
        self.rows += len(x)
        self.calls += 1
        return self.with_costs(table)

    def with_costs(self, table: Table) -> Table:
        """The table with its cost columns, when there is a cost model."""
        if self.cost_model is None:
            return table
        table = dict(table)
        table.update(self.cost_model.columns(table))
        return table

    def column(self, table: Table, name: Any) -> Any:
        try:
            return _column(table[name])
        except KeyError:
            raise OptimizeError(f"unknown column {name!r}; choose from: {_some_columns(table)}") from None

    def derive(self, table: Table, f: Any = None) -> list[Any]:
        """The score columns of a result table: [energy, the excess of each constraint, invalid].

        Energy is the signed objective (``f``, else the objective column); an excess is how far
        its constraint is broken (0 where it holds or its value is not finite); invalid is 1 for
        a plant point that is not valid (not converged, flagged, a non-finite objective or
        constraint value), else 0. The table's arrays give arrays, a traced table traced columns."""
        if f is None:
            f = self.column(table, self.objective)
        f = self.sign * f
        rows = []
        valid = np.isfinite(f)
        with np.errstate(invalid="ignore"):
            for con in self.constraints:
                values = self.column(table, con.column)
                valid = valid & np.isfinite(values)
                rows.append(np.where(np.isfinite(values), np.maximum(con.excess(values), 0.0), 0.0))
        if "converged" in table:
            valid = valid & (_column(table["converged"]) == 1)
        if "flagged" in table:
            valid = valid & (_column(table["flagged"]) == 0)
        for name in self.counts:
            valid = valid & (self.column(table, name) == 0)
        invalid = np.where(valid, 0.0, 1.0)
        # How far outside its checks a point lies (each margin over its scale): the search walks
        # the infeasible points towards the possible ones.
        with np.errstate(all="ignore"):
            for name, scale in self.checks:
                margin = self.column(table, name)
                invalid = invalid + np.where(margin < 0.0, (0.0 - margin) / scale, 0.0)
        rows.append(invalid)
        return [f, *rows]

    def scores(self, x: Array, full: bool = False) -> tuple[Any, Any, Any]:
        """(energy, violation, table) per point: energy is the signed objective, violation >= 0 its
        constraint excess, +1 for a plant point that is not valid (see ``derive``); the table is
        None when the scores came from the compiled program."""
        if self.compiled is not None and not full:
            scores = self.compiled(np.ascontiguousarray(x, dtype=np.float64))
            self.rows += len(x)
            self.calls += 1
            return scores[0], scores[1:], None
        table = self.table(x, full)
        f = None
        if callable(self.objective):
            f = np.asarray(self.objective(table), dtype=np.float64)
            if f.shape != (len(x),):
                raise OptimizeError(f"the objective function must return one value per row ({len(x)}), "
                                    f"got shape {f.shape}")
        f, *excess = self.derive(table, f)
        return f, np.array(excess), table


def _some_columns(table: Table, limit: int = 12) -> str:
    names = list(table)
    text = ", ".join(names[:limit])
    return text + (f", ... ({len(names)} columns)" if len(names) > limit else "")


def _better(f1: float, v1: float, f2: float, v2: float) -> bool:
    """The feasibility rule: is point 1 better than point 2?"""
    if v1 == 0 and v2 == 0:
        return f1 < f2
    if v1 == 0 or v2 == 0:
        return v1 == 0
    return v1 < v2


def _best(f: Array, v: Array) -> int:
    """Index of the best point by the feasibility rule (the first of equals)."""
    feasible = v == 0
    masked = np.where(feasible, f, np.inf)
    i = int(masked.argmin())
    if math.isfinite(masked[i]):
        return i  # the usual case: the best feasible objective (no NaN among them)
    if not feasible.any():
        return int(v.argmin())
    return i if np.isfinite(f[feasible]).any() else int(feasible.argmax())


def _directions(n: int) -> Array:
    """Polish directions in scaled coordinates: the full stencil for a few variables, else the axes."""
    if n <= 3:
        dirs = [d for d in itertools.product((-1.0, 0.0, 1.0), repeat=n) if any(d)]
        return np.array(dirs)
    eye = np.eye(n)
    return np.vstack([eye, -eye])


@functools.lru_cache(maxsize=16)
def _pattern(n: int) -> tuple[Array, Array, Array]:
    """The polish's fixed moves in n variables (read only): the stencil at lengths 1, 1/4 and 1/16
    of the step (exact: powers of two), the multiples of the last move and the spread of the
    points scattered around each."""
    dirs = _directions(n)
    stencil = np.vstack([dirs, dirs * 0.25, dirs * 0.0625])
    reach = np.array([1.0, 2.0, 4.0, 8.0])
    along = np.repeat(reach, 7)[:, None]
    scatter = np.tile(np.r_[np.ones(6), 0.0], len(reach))[:, None] * (0.3 * along)
    for a in (stencil, along, scatter):
        a.flags.writeable = False
    return stencil, along, scatter


class _LocalSearch:
    """The polish: a local search under the feasibility rule, one batch of trial points a step.

    Rows are cheap and a sweep is not, so a step tries many points at once: the compass stencil
    at three lengths (``step``, ``step``/4, ``step``/16 of each variable's range), ``samples``
    seeded random points within ``step`` of the incumbent, and, after a successful move d, points
    along x + k·d (k = 1, 2, 4, 8) each with a few scattered around it. Two thirds of the random
    points are drawn instead from a normal distribution shaped like the spread of the best valid
    trials of the step before (about the incumbent): along a narrow valley (an optimum pressed against the edge of the
    valid region, where a unit starts to be flagged) those lie along the valley, and so do the
    next trials, where a box of uniform points would mostly miss the thin wedge that improves.
    On success the search moves to the best trial and the step follows the length of the move
    (at least ``min_step``); on failure it shrinks eightfold. It is done when a failure takes the
    step below ``min_step``, when a move shorter than that gains less than ``gain_floor`` of the
    objective, or after ``max_steps`` steps.

    A state machine (``propose``, then ``update`` with the scores of the proposal), so that its
    steps can share a sweep with a generation of the global search; ``offer`` hands it a point
    found elsewhere, which it takes (and starts afresh from) when the rule ranks it better.
    """

    # The relative gain below which a move shorter than the smallest step ends the search.
    gain_floor = 1e-4

    def __init__(self, lower: Array, upper: Array, start_step: float, min_step: float, max_steps: int,
                 rng: np.random.Generator, samples: int = 48) -> None:
        self.lower, self.upper = lower, upper
        self.width = np.where(upper > lower, upper - lower, 1.0)
        self.start_step, self.min_step, self.max_steps = start_step, min_step, max_steps
        self.rng = rng
        self.samples = samples
        n = len(lower)
        self.stencil, self.along, self.scatter = _pattern(n)
        self.moves = np.empty((len(self.stencil) + samples + len(self.along), n))
        self.shaped = (2 * samples) // 3
        self.elite: Any = None  # the last step's best valid trials about the incumbent, scaled, or None
        self.x: Any = None
        self.f: float = math.inf
        self.v: float = math.inf
        self.step = start_step
        self.last: Any = None  # the last successful move, in fractions of the ranges
        self.steps = 0

    def offer(self, x: Any, f: float, v: float) -> None:
        if self.x is None or _better(f, v, self.f, self.v):
            self.x, self.f, self.v = np.array(x, dtype=np.float64), f, v
            self.step, self.last, self.elite = self.start_step, None, None

    @property
    def done(self) -> bool:
        return self.x is None or self.step < self.min_step or self.steps >= self.max_steps

    def propose(self) -> Any:
        """The trial points of the next step (K × N), or None when the search is done."""
        if self.done:
            return None
        step, n, x = self.step, len(self.x), self.x
        moves = self.moves
        count = len(self.stencil) + self.samples
        np.multiply(self.stencil, step, out=moves[:len(self.stencil)])
        moves[len(self.stencil):count] = self.rng.uniform(-step, step, size=(self.samples, n))
        if self.elite is not None:
            # Normal with the elite's second moments about the incumbent: random combinations
            # of the elite offsets, weights N(0, 1/k) (1.5 standard deviations wide).
            weights = self.rng.standard_normal(size=(self.shaped, len(self.elite)))
            weights *= 1.5 / math.sqrt(len(self.elite))
            # The sum of products element by element, in the order of the elite (a matrix
            # product would go through BLAS, whose kernel, and so its rounding, is the CPU's).
            np.sum(weights[:, :, None] * self.elite, axis=1, out=moves[count - self.shaped:count])
        if self.last is not None:
            length = float(np.max(np.abs(self.last)))
            # Points along x + k·d (k = 1, 2, 4, 8), six scattered around each and the point itself.
            noise = self.rng.standard_normal(size=(len(self.along), n))
            moves[count:] = self.along * self.last + noise * (self.scatter * length)
            count = len(moves)
        trial = moves[:count] * self.width
        trial += x
        np.clip(trial, self.lower, self.upper, out=trial)
        trial = trial[(trial != x).any(axis=1)]
        if len(trial) == 0:
            self.step = 0.0  # nowhere left to go within the bounds
            return None
        return trial

    def update(self, trial: Array, tf: Array, tv: Array) -> None:
        """Take the scores (objective, total violation) of the last proposal."""
        self.steps += 1
        best = _best(tf, tv)
        if not _better(tf[best], tv[best], self.f, self.v):
            self.step /= 8.0
            self.last = None
        else:
            self.last = (trial[best] - self.x) / self.width
            moved = float(np.abs(self.last).max())
            gain = self.f - tf[best] if self.v == 0 and tv[best] == 0 else math.inf
            self.x, self.f, self.v = trial[best], tf[best], tv[best]
            step = max(2.0 * moved, self.step / 4.0)
            if step < self.min_step and gain <= self.gain_floor * abs(self.f):
                # A short move that gains next to nothing: the valley is followed to its end.
                self.step = 0.0
            else:
                # Any other move goes on, at the smallest step at least: along a narrow valley
                # short moves can still gain much.
                self.step = min(0.25, max(step, self.min_step))
        # The eight best valid trials, as offsets from the incumbent in fractions of the ranges.
        valid = np.flatnonzero(tv == 0)
        if len(valid) >= 3:
            elite = valid[np.argsort(tf[valid], kind="stable")[:8]]
            self.elite = (trial[elite] - self.x) / self.width
        else:
            self.elite = None


def _latin_hypercube(lower: Array, upper: Array, count: int, rng: np.random.Generator) -> tuple[Array, Array]:
    """``count`` points of a Latin hypercube in the box, and the same points as differential evolution
    holds them (taken into its unit cube and back, which may move the last bit)."""
    unit = (np.argsort(rng.uniform(size=(count, len(lower))), axis=0) + rng.uniform(size=(count, len(lower))))
    unit /= count
    middle, span = 0.5 * (lower + upper), np.fabs(lower - upper)
    points = middle + (unit - 0.5) * span
    with np.errstate(divide="ignore"):
        recip = 1 / span
    recip[~np.isfinite(recip)] = 0
    held = np.clip((points - middle) * recip + 0.5, 0, 1)
    return points, middle + (held - 0.5) * span


def search(evaluate: Evaluate, names: Sequence[str], bounds: Sequence[tuple[float, float]], objective: Objective,
           constraints: Sequence[Any] = (), *, maximize: bool = False, seed: int = 0, popsize: int = POPSIZE,
           maxiter: int = MAXITER, patience: int = PATIENCE, rtol: float = RTOL, polish: bool = True,
           polish_tol: float = POLISH_TOL, cost_model: Any = None, init: Any = "latinhypercube",
           mutation: tuple[float, float] = (0.5, 1.0), recombination: float = 0.7,
           finish: Callable[[Array], dict[str, float]] | None = None, columns: Iterable[str] | None = None,
           samples: int = 0, compile: Compile | None = None, checks: Sequence[tuple[str, float]] = (),
           integers: Sequence[bool] | None = None,
           on_step: Callable[[str], None] | None = None) -> tuple[Any, float, bool, dict[str, Any], dict[str, Any]]:
    """Optimise over a generic vectorised evaluation.

    ``evaluate(names, matrix, columns) -> table`` (a mapping column -> array
    of one value per row; ``columns``: None for all, else the ones needed);
    ``bounds``: (low, high) per name; ``objective``: a column name or a
    function of the table; ``columns``: every column a table has, when known
    (else learnt from the first one); ``compile``: optional, a function of
    ``derive(table) -> columns`` returning ``run(matrix) -> array`` of those
    columns, computed without building the table (a compiled column
    program). ``integers``: a flag per name, True for a whole-number
    variable (every point is evaluated with those rounded, and the result
    gives them whole). Returns ``(x, objective value, feasible, row of the
    table at x, info)``.
    """
    from scipy.optimize import NonlinearConstraint, differential_evolution

    names = list(names)
    lower = np.array([b[0] for b in bounds], dtype=np.float64)
    upper = np.array([b[1] for b in bounds], dtype=np.float64)
    constraints = [parse_constraint(c) for c in constraints]
    problem = _Problem(evaluate, names, objective, constraints, maximize, cost_model, columns, compile, checks)
    whole = np.zeros(len(names), dtype=bool) if integers is None else np.asarray(integers, dtype=bool)
    if whole.any():
        # A whole-number variable is evaluated at the nearest whole number, wherever the
        # search (or its polish) stands: the objective is a step in it.
        scores = problem.scores

        def rounded_scores(x: Array, full: bool = False) -> tuple[Any, Any, Any]:
            x = np.array(x, dtype=np.float64)
            x[:, whole] = np.rint(x[:, whole])
            return scores(x, full)

        problem.scores = rounded_scores  # type: ignore[method-assign]

    # The polish rides along: each sweep of a generation also carries the
    # next step of the local search around the best point seen so far, so the
    # two progress together and the polish has less left to do at the end.
    local = _LocalSearch(lower, upper, 0.05, polish_tol, 100, np.random.default_rng(seed)) if polish else None

    # The constraint function is called first on every trial population and
    # the objective then on its feasible members; the search also asks for
    # the constraints of its best point after each generation. Every point is
    # evaluated once and remembered (bitwise: the search scales each point the
    # same way every time).
    seen: dict[bytes, tuple[Any, Any]] = {}

    def lookup(xt: Any) -> list[tuple[Any, Any]]:
        x = np.ascontiguousarray(np.asarray(xt, dtype=np.float64).reshape(len(names), -1).T)
        keys = [row.tobytes() for row in x]
        missing = [i for i, key in enumerate(keys) if key not in seen]
        if missing:
            points = x[missing]
            trial = local.propose() if local is not None and len(missing) > 1 else None
            f, excess, _ = problem.scores(points if trial is None else np.vstack([points, trial]))
            v = excess.sum(axis=0)
            k = len(missing)
            for j, i in enumerate(missing):
                seen[keys[i]] = (f[j], excess[:, j])
            if trial is not None and local is not None:
                local.update(trial, f[k:], v[k:])
            if local is not None:
                best = _best(f[:k], v[:k])
                local.offer(points[best], f[best], v[best])
        return [seen[key] for key in keys]

    def violations(xt: Any) -> Array:                    # xt: N × S, returns M × S
        return np.array([excess for _, excess in lookup(xt)]).T

    def energies(xt: Any) -> Array:                      # xt: N × S, returns S
        out = np.array([f for f, _ in lookup(xt)])
        # Only feasible points reach here, and those have finite objectives.
        return np.where(np.isfinite(out), out, np.finfo(np.float64).max)

    m = len(constraints) + 1
    limit = NonlinearConstraint(violations, -np.inf, np.zeros(m))

    history: dict[str, Any] = {"best": math.inf, "stall": 0, "generations": 0}

    def progress(intermediate_result: Any) -> bool:
        history["generations"] += 1
        fun = float(intermediate_result.fun)
        if on_step is not None:
            on_step(f"generation {history['generations']}, best {fun:.6g}")
        feasible = bool(getattr(intermediate_result, "constr_violation", 0.0) <= 0.0)
        if not feasible or not math.isfinite(fun):
            history["stall"] = 0
            return False
        best = history["best"]
        if best - fun > rtol * max(abs(fun), 1e-300):
            history["best"] = fun
            history["stall"] = 0
        else:
            history["stall"] += 1
        return bool(history["stall"] >= patience)

    if isinstance(init, str) and init == "latinhypercube":
        # A Latin hypercube of `samples` points, evaluated in one sweep before SciPy first asks for
        # a single point (its constraint check of x0); the population starts from the best of them
        # by the feasibility rule. Rows are cheap and a generation is not: a wide first look costs
        # little and saves generations.
        size = max(popsize * len(names), 5)  # SciPy's search needs five members at least
        init, start = _latin_hypercube(lower, upper, max(size, samples), np.random.default_rng(seed))
        f0, excess0, _ = problem.scores(start)
        v0 = excess0.sum(axis=0)
        if local is not None:
            best = _best(f0, v0)
            local.offer(start[best], f0[best], v0[best])
        # Feasible points by objective, then the others by violation (a stable order); only the
        # population is remembered, the only points of the start SciPy asks for.
        order = np.sort(np.lexsort((np.where(v0 == 0, f0, v0), v0 > 0))[:size])
        init = init[order]
        for i in order:
            seen[start[i].tobytes()] = (f0[i], excess0[:, i])
        # Progress is measured from the best of the start: a first generation that gains
        # nothing on it is not progress.
        feasible0 = f0[order][v0[order] == 0]
        if len(feasible0):
            history["best"] = float(feasible0.min())

    with np.errstate(all="ignore"):
        found = differential_evolution(
            energies, list(zip(lower, upper)), constraints=(limit,), vectorized=True, updating="deferred",
            popsize=popsize, maxiter=maxiter, tol=0.0, atol=0.0, polish=False, rng=seed, init=init,
            mutation=mutation, recombination=recombination, callback=progress,
            integrality=whole if whole.any() else None)

    x = np.asarray(found.x, dtype=np.float64)
    # The search's best point was evaluated already (SciPy scales it as it scaled the trial).
    ((f, excess0),) = lookup(x[:, None])
    f, v = float(f), float(excess0.sum())
    polish_steps = 0
    if local is not None:
        local.offer(x, f, v)
        while (trial := local.propose()) is not None:
            tf, excess, _ = problem.scores(trial)
            local.update(trial, tf, excess.sum(axis=0))
            if on_step is not None:
                on_step(f"polish step {local.steps}, best {float(local.f):.6g}")
        x, f, v, polish_steps = local.x, float(local.f), float(local.v), local.steps
    x = np.where(whole, np.rint(x), x)
    if finish is None:
        _, _, table = problem.scores(x[None, :], full=True)
        row = {name: float(np.asarray(col)[0]) for name, col in table.items()}
    else:
        row = finish(x)
    info = {"evaluations": problem.rows, "sweeps": problem.calls, "generations": history["generations"],
            "polish_steps": polish_steps, "message": str(found.message)}
    value = problem.sign * f
    optimum = {name: int(value) if w else float(value) for name, value, w in zip(names, x.tolist(), whole)}
    return optimum, float(value), bool(v == 0), row, info
