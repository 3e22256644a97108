"""Design optimisation of a flowsheet: a global search over its compiled sweep, then a local polish.

``optimize(fs, objective, vary, constraints)`` minimises (or maximises) an
objective over box bounds on varied slots:

* a seeded Latin hypercube, evaluated in one sweep, opens the search; the
  global search is SciPy's differential evolution with ``vectorized=True``,
  started from the best of those points: each generation is one compiled
  flowsheet sweep over the whole trial population (on threads, or on a
  Dask client);
* constraints are enforced by the feasibility rule (SciPy's constraint
  support in differential evolution): a feasible point beats an infeasible
  one, two feasible points compare by objective, two infeasible points by
  their total constraint violation. A plant point that did not converge,
  has a flagged unit, or gives a non-finite objective or constraint value is
  infeasible, so it can never be returned as the optimum;
* the polish is a pattern search around the best point seen so far under
  the same rule (a compass stencil, random points shaped like the spread of
  the last step's best trials, moves along the last success); its steps
  share the generations' sweeps and then go on alone, one sweep a step. It
  only ever moves to a point that the rule ranks better, so it never leaves
  the feasible set.

The same seed gives the same answer: the search is SciPy's seeded generator
and every sweep row is bitwise equal whatever the threads.
"""

from __future__ import annotations

import contextlib
import functools
import itertools
import math
import re
import time
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from .batch.program import TraceError, column as _column

__all__ = ["Constraint", "OptimizeResult", "optimize", "search", "parse_constraint", "OptimizeError"]

# Sweeps of fewer rows take one thread: handing rows to another thread costs more than it saves.
_SHARED_ROWS = 64
OPERATORS = ("<=", ">=")
# Objective shorthands -> table column.
OBJECTIVES = {"lcow": "cost.lcow", "sec": "kpi.specific_energy_kwh_m3"}


class OptimizeError(ValueError):
    """A mistake in an optimisation request; the message names what is wrong and the valid choices."""


@dataclass(frozen=True)
class Constraint:
    """``column <= bound`` or ``column >= bound`` on a column of the result table."""

    column: str
    op: str
    bound: float

    def __post_init__(self):
        # Strict and non-strict bounds are the same thing for a continuous quantity.
        object.__setattr__(self, "op", {"=<": "<=", "<": "<=", "=>": ">=", ">": ">="}.get(self.op, self.op))
        if self.op not in OPERATORS:
            raise OptimizeError(f"constraint on {self.column!r}: operator {self.op!r} unknown; "
                                f"choose from: {', '.join(OPERATORS)}")
        if not math.isfinite(self.bound):
            raise OptimizeError(f"constraint on {self.column!r}: bound must be finite, got {self.bound!r}")

    def excess(self, values):
        """Per row: how far the constraint is broken, relative to the bound's size (0 where it holds)."""
        scale = abs(self.bound) if self.bound != 0 else 1.0
        g = (values - self.bound) if self.op == "<=" else (self.bound - values)
        return g / scale

    def __str__(self):
        return f"{self.column}{self.op}{self.bound:g}"


_CONSTRAINT = re.compile(r"^\s*([^<>=\s]+)\s*(<=|>=|=<|=>|<|>|==|=)\s*(\S+)\s*$")


def parse_constraint(item):
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


@dataclass
class OptimizeResult:
    """The answer of an optimisation (``fs.optimize``).

    Attributes
    ----------
    x : dict
        Varied name -> value at the optimum, in the slot's unit (e.g. bar, m²).
    objective : float
        The objective at the optimum, as given (a maximised objective is not negated), e.g.
        $/m³ for ``"lcow"``.
    feasible : bool
        Every constraint holds and the plant point is valid (converged, no flagged unit, finite
        figures). False when the search found no such point.
    row : dict
        The optimum's row of the result table, cost columns included: name -> value.
    result : flowsheet result
        The flowsheet's full result at the optimum (``fs.solve(**x)``).
    evaluations : int
        Plant points evaluated (the final solve included).
    seconds : float
        Wall time of the call, s (SciPy's first import in a process not counted).
    generations : int
        Generations of the global search.
    polish_steps : int
        Steps of the polish (each a batch of trial points; those made while the global search
        runs share its sweeps).
    sweeps : int
        Compiled flowsheet sweeps of the whole search (the final solve not counted).
    message : str
        SciPy's message of the global search.
    constraints : dict
        ``"column<=bound"`` -> the column's value at the optimum.
    checks : list
        The design-check findings at the optimum (hydrokit.checks.Finding), errors first.

    Examples
    --------
    >>> best = fs.optimize("lcow", {"ro.membrane_area": (1, 1500)}, ["kpi.recovery>=0.5"])
    >>> best.feasible, best.result.flagged
    (True, 0)
    """

    x: dict                 # varied name -> value at the optimum
    objective: float        # objective at the optimum (as given: maximised objectives are not negated)
    feasible: bool          # every constraint holds and the plant point is valid
    row: dict               # the optimum's row of the result table (cost columns included), name -> value
    result: Any = None      # the flowsheet's full result at the optimum (fs.solve(**x))
    evaluations: int = 0    # plant points evaluated
    seconds: float = 0.0    # wall time of the search, polish and final solve
    generations: int = 0    # generations of the global search
    polish_steps: int = 0   # steps of the polish
    sweeps: int = 0         # compiled sweeps of the search and the polish
    message: str = ""
    constraints: dict = field(default_factory=dict)  # "column<=bound" -> value at the optimum
    checks: list = field(default_factory=list)       # design-check findings at the optimum

    def __repr__(self):
        xs = ", ".join(f"{k}={v:.6g}" for k, v in self.x.items())
        return (f"OptimizeResult({xs}; objective={self.objective:.6g}, feasible={self.feasible}, "
                f"evaluations={self.evaluations}, seconds={self.seconds:.3g})")

    def _repr_html_(self):
        from .display.html import optimize_html

        return optimize_html(self)


class _Problem:
    """Objective and constraint values of a batch of points: one evaluation per batch.

    With ``compile`` (a function of ``derive`` returning ``run(matrix) -> array``), the scores
    of a column objective are computed by one compiled column program per batch; the table is
    then built only for the final point (``full``)."""

    def __init__(self, evaluate, names, objective, constraints, maximize, cost_model=None, columns=None,
                 compile=None, checks=()):
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
        self.wanted = None
        self.compiled = None
        if compile is not None and not callable(objective):
            try:
                self.compiled = compile(lambda table: self.derive(self.with_costs(table)))
            except TraceError:
                pass  # an expression the program cannot record: the scores come from the table

    def read(self):
        """The columns the objective, the constraints, the validity test and the cost lines read."""
        read = {self.objective, "converged", "flagged", *self.names, *(c.column for c in self.constraints),
                *self.counts, *(column for column, _ in self.checks)}
        if self.cost_model is not None:
            read |= self.cost_model.columns_read()
        return read

    def table(self, x, full=False):
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

    def with_costs(self, table):
        """The table with its cost columns, when there is a cost model."""
        if self.cost_model is None:
            return table
        table = dict(table)
        table.update(self.cost_model.columns(table))
        return table

    def column(self, table, name):
        try:
            return _column(table[name])
        except KeyError:
            raise OptimizeError(f"unknown column {name!r}; choose from: {_some_columns(table)}") from None

    def derive(self, table, f=None):
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

    def scores(self, x, full=False):
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


def _some_columns(table, limit=12):
    names = list(table)
    text = ", ".join(names[:limit])
    return text + (f", ... ({len(names)} columns)" if len(names) > limit else "")


def _better(f1, v1, f2, v2):
    """The feasibility rule: is point 1 better than point 2?"""
    if v1 == 0 and v2 == 0:
        return f1 < f2
    if v1 == 0 or v2 == 0:
        return v1 == 0
    return v1 < v2


def _best(f, v):
    """Index of the best point by the feasibility rule (the first of equals)."""
    feasible = v == 0
    masked = np.where(feasible, f, np.inf)
    i = int(masked.argmin())
    if math.isfinite(masked[i]):
        return i  # the usual case: the best feasible objective (no NaN among them)
    if not feasible.any():
        return int(v.argmin())
    return i if np.isfinite(f[feasible]).any() else int(feasible.argmax())


def _directions(n):
    """Polish directions in scaled coordinates: the full stencil for a few variables, else the axes."""
    if n <= 3:
        dirs = [d for d in itertools.product((-1.0, 0.0, 1.0), repeat=n) if any(d)]
        return np.array(dirs)
    eye = np.eye(n)
    return np.vstack([eye, -eye])


@functools.lru_cache(maxsize=16)
def _pattern(n):
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

    def __init__(self, lower, upper, start_step, min_step, max_steps, rng, samples=48):
        self.lower, self.upper = lower, upper
        self.width = np.where(upper > lower, upper - lower, 1.0)
        self.start_step, self.min_step, self.max_steps = start_step, min_step, max_steps
        self.rng = rng
        self.samples = samples
        n = len(lower)
        self.stencil, self.along, self.scatter = _pattern(n)
        self.moves = np.empty((len(self.stencil) + samples + len(self.along), n))
        self.shaped = (2 * samples) // 3
        self.elite = None  # the last step's best valid trials about the incumbent, scaled, or None
        self.x = None
        self.f = self.v = math.inf
        self.step = start_step
        self.last = None  # the last successful move, in fractions of the ranges
        self.steps = 0

    def offer(self, x, f, v):
        if self.x is None or _better(f, v, self.f, self.v):
            self.x, self.f, self.v = np.array(x, dtype=np.float64), f, v
            self.step, self.last, self.elite = self.start_step, None, None

    @property
    def done(self):
        return self.x is None or self.step < self.min_step or self.steps >= self.max_steps

    def propose(self):
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

    def update(self, trial, tf, tv):
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


def _latin_hypercube(lower, upper, count, rng):
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


def search(evaluate, names, bounds, objective, constraints=(), *, maximize=False, seed=0, popsize=10,
           maxiter=200, patience=12, rtol=1e-6, polish=True, polish_tol=1e-6, cost_model=None,
           init="latinhypercube", mutation=(0.5, 1.0), recombination=0.7, finish=None, columns=None,
           samples=0, compile=None, checks=(), integers=None, on_step=None):
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

        def rounded_scores(x, full=False):
            x = np.array(x, dtype=np.float64)
            x[:, whole] = np.rint(x[:, whole])
            return scores(x, full)

        problem.scores = rounded_scores

    # The polish rides along: each sweep of a generation also carries the
    # next step of the local search around the best point seen so far, so the
    # two progress together and the polish has less left to do at the end.
    local = _LocalSearch(lower, upper, 0.05, polish_tol, 100, np.random.default_rng(seed)) if polish else None

    # The constraint function is called first on every trial population and
    # the objective then on its feasible members; the search also asks for
    # the constraints of its best point after each generation. Every point is
    # evaluated once and remembered (bitwise: the search scales each point the
    # same way every time).
    seen = {}

    def lookup(xt):
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
            if trial is not None:
                local.update(trial, f[k:], v[k:])
            if local is not None:
                best = _best(f[:k], v[:k])
                local.offer(points[best], f[best], v[best])
        return [seen[key] for key in keys]

    def violations(xt):                      # xt: N × S, returns M × S
        return np.array([excess for _, excess in lookup(xt)]).T

    def energies(xt):                        # xt: N × S, returns S
        out = np.array([f for f, _ in lookup(xt)])
        # Only feasible points reach here, and those have finite objectives.
        return np.where(np.isfinite(out), out, np.finfo(np.float64).max)

    m = len(constraints) + 1
    limit = NonlinearConstraint(violations, -np.inf, np.zeros(m))

    history = {"best": math.inf, "stall": 0, "generations": 0}

    def progress(intermediate_result):
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
        return history["stall"] >= patience

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
    best = {name: int(value) if w else float(value) for name, value, w in zip(names, x.tolist(), whole)}
    return best, float(value), bool(v == 0), row, info


def _bounds(fs, vary):
    if not vary:
        raise OptimizeError("vary names no slot; give {'unit.slot': (low, high), ...}")
    names, bounds = [], []
    for name, span in dict(vary).items():
        try:
            low, high = (float(b) for b in span)
        except (TypeError, ValueError):
            raise OptimizeError(f"bounds of {name!r} must be (low, high), got {span!r}") from None
        if not (math.isfinite(low) and math.isfinite(high) and low < high):
            raise OptimizeError(f"bounds of {name!r} must be finite with low < high, got ({low:g}, {high:g})")
        if not math.isfinite(high - low):
            # The search works on the range's width: one that overflows gives NaN points.
            raise OptimizeError(f"bounds of {name!r} span more than the largest double, got ({low:g}, {high:g})")
        names.append(name)
        bounds.append((low, high))
    return names, bounds


def _whole(value, name, low, high=None):
    """An option that is a whole number in [low, high], or a one-line OptimizeError."""
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise OptimizeError(f"{name} must be a whole number, got {value!r}"[:200])
    value = int(value)
    if value < low or (high is not None and value > high):
        span = f"from {low} to {high}" if high is not None else f"at least {low}"
        raise OptimizeError(f"{name} must be {span}, got {value}"[:200])
    return value


def _positive(value, name):
    if isinstance(value, bool) or not isinstance(value, (int, float, np.number)):
        raise OptimizeError(f"{name} must be a number, got {value!r}"[:200])
    try:
        value = float(value)
    except OverflowError:
        value = math.inf
    if not (math.isfinite(value) and value > 0):
        raise OptimizeError(f"{name} must be a finite number > 0, got {value!r}")
    return value


def _check_options(seed, threads, popsize, samples, maxiter, patience, rtol, polish_tol):
    """The search's options checked before any work: each mistake one line."""
    _whole(seed, "seed", 0, 2**63 - 1)
    if threads is not None:
        _whole(threads, "threads", 1)
    _whole(popsize, "popsize", 1, 10_000)
    if samples is not None:
        _whole(samples, "samples", 0, 10_000_000)
    _whole(maxiter, "maxiter", 0, 1_000_000)
    if patience is not None:
        _whole(patience, "patience", 1)
    _positive(rtol, "rtol")
    _positive(polish_tol, "polish_tol")


def _whole_numbers(fs, names):
    """True for each varied name that takes whole numbers (an array's vessel count)."""
    arrays = getattr(fs, "arrays", {})
    return [n.partition(".")[0] in arrays and n.endswith(".vessels") for n in names]


def _patience(patience, fs, names):
    # Whole-number variables move the objective in steps: the search needs more generations
    # without progress before it may conclude which counts win.
    if patience is not None:
        return patience
    return WHOLE_NUMBER_PATIENCE if any(_whole_numbers(fs, names)) else 1


WHOLE_NUMBER_PATIENCE = 30


def _needs_costs(objective, constraints):
    if callable(objective):
        return True
    return objective.startswith("cost.") or any(c.column.startswith("cost.") for c in constraints)


def optimize(fs, objective="lcow", vary=None, constraints=(), *, seed=0, client=None, threads=None, params=None,
             maximize=False, fixed=None, polish=True, popsize=8, samples=None, maxiter=200, patience=None,
             rtol=1e-2, polish_tol=3e-3, checks="errors", progress=None):
    """Optimise a flowsheet's design (``fs.optimize``): a global search, then a local polish.

    A Latin hypercube of ``samples`` points, evaluated in one sweep, opens the search; the
    global search is SciPy's differential evolution with ``vectorized=True``, its population
    the best of those points, each generation one compiled flowsheet sweep over its whole trial
    population (on ``threads`` or the Dask ``client``). It stops at the first generation whose
    best feasible objective improves by less than ``rtol`` (relative) on the best so far (the
    opening points' best included), after ``patience`` such generations, or after ``maxiter``.
    Each sweep's scores (objective, constraint excesses, validity) come from one compiled column
    program of the plan's outputs (hydrokit.batch.program), bitwise the figures of the result
    table. The polish searches around the best
    point seen so far, a batch of trial points a step: its steps ride along the generations'
    sweeps and then go on alone, until a step that finds nothing better takes its step below
    ``polish_tol`` of each range. Constraints are kept by the feasibility rule: a feasible point
    beats an infeasible one, two feasible points compare by objective, two infeasible ones by
    their total relative violation; a plant point that did not converge, has a flagged unit or a
    non-finite objective or constraint value is infeasible, so it never wins, and so is one with a
    design-check error (``checks``, hydrokit.checks), ranked among the infeasible by how far its
    check margins lie outside.

    Parameters
    ----------
    fs : hydrokit.Flowsheet
        The plant.
    objective : str or callable, default "lcow"
        ``"lcow"`` ($/m³), ``"sec"`` (kWh/m³), any column of the result table
        (``"kpi.electric_power_kw"``, ``"ro.permeate_salinity"``, ``"cost.capital_total"``, ...)
        or a function of the result table (column name -> array) returning one value per row.
    vary : mapping
        ``{"unit.slot" or "feed.quantity": (low, high)}``, bounds in the slot's unit. An
        array's vessel counts (``"ro.stage1.vessels"``) take whole numbers: every point is
        evaluated with them rounded, and the optimum gives them as ints.
    constraints : sequence, optional
        ``("ro.permeate_salinity", "<=", 0.5)`` or ``"kpi.recovery>=0.5"`` on any column (cost
        columns included); ``<`` and ``>`` read as ``<=`` and ``>=``.
    seed : int, default 0
        Seed of every random draw: the same seed gives the same answer, on any thread count or
        a cluster.
    client : dask.distributed.Client, optional
        Run each sweep on this cluster.
    threads : int, optional
        The most threads of a sweep (None: every core); a sweep of fewer than 64 points takes
        one.
    params : CostParameters, optional
        Prices of the cost columns (defaults when None).
    maximize : bool, default False
        Maximise the objective instead.
    fixed : mapping, optional
        ``{"unit.slot": value}`` held for the whole search.
    polish : bool, default True
        Polish the global search's best point.
    popsize : int, default 8
        Population per varied slot.
    samples : int, optional
        Points of the Latin hypercube that opens the search, all in one sweep; the population
        starts from the best of them (default: ``8 * popsize`` per varied slot).
    maxiter : int, default 200
        Most generations of the global search.
    patience : int, optional
        Generations without a relative gain of ``rtol`` before the global search stops
        (default 1; 30 when a whole-number variable is varied, an array's vessel count).
    rtol : float, default 1e-2
        The relative gain that counts as progress.
    polish_tol : float, default 3e-3
        The polish stops when a step that finds nothing better takes its step below this
        fraction of each variable's range.
    checks : {"errors", "warnings", "none"}, default "errors"
        The design checks (hydrokit.checks) the optimum must pass: ``"errors"``, a point with an
        error finding (physically impossible, e.g. beyond the osmotic limit) is infeasible;
        ``"warnings"``, every guideline is a constraint too; ``"none"``, no check binds.
    progress : bool, optional
        Show the generations and polish steps of a long search (tqdm, or lines on stderr); by
        default only in a terminal or notebook and after two seconds.

    Returns
    -------
    OptimizeResult
        The optimum by name, its objective, feasibility, table row, full result, the plant
        evaluations and the time.

    Raises
    ------
    OptimizeError
        Bad bounds (not finite, low >= high), a name both varied and fixed, an unknown column in
        the objective or a constraint, a bad constraint, or an objective function returning the
        wrong shape.
    hydrokit.flowsheet.FlowsheetError
        A varied or fixed name the flowsheet does not know.
    ImportError
        SciPy is not installed.

    Examples
    --------
    >>> fs = hydrokit.flowsheet.load_plant("examples/seawater_ro.toml")
    >>> best = fs.optimize("lcow", {"hp.pressure_rise_bar": (10, 80), "ro.membrane_area": (1, 1500)},
    ...                    constraints=["kpi.recovery>=0.5"], seed=0)
    >>> round(best.objective, 4), best.result.valid                 # $/m³, no design-check error
    (0.4661, True)
    >>> round(best.x["hp.pressure_rise_bar"], 1), round(best.x["ro.membrane_area"])   # bar, m²
    (71.0, 99)
    """
    from .costing import CostModel

    # SciPy's first import (a few tenths of a second) is not the search's time.
    import scipy.optimize  # noqa: F401

    start = time.perf_counter()
    _check_options(seed, threads, popsize, samples, maxiter, patience, rtol, polish_tol)
    if checks not in ("errors", "warnings", "none"):
        raise OptimizeError(f"checks must be 'errors', 'warnings' or 'none', got {checks!r}"[:200])
    names, bounds = _bounds(fs, vary)
    from .flowsheet.array import MAX_VESSELS

    for name, whole, (low, high) in zip(names, _whole_numbers(fs, names), bounds):
        if whole and not (np.rint(low) >= 1 and MAX_VESSELS >= np.rint(high) >= np.rint(low)):
            raise OptimizeError(f"{name!r} is a vessel count: its bounds must round to whole numbers from 1 to "
                                f"{MAX_VESSELS:_}, got ({low:g}, {high:g})")
    constraints = [parse_constraint(c) for c in constraints]
    if isinstance(objective, str):
        column = OBJECTIVES.get(objective, objective)
    elif callable(objective):
        column = objective
    else:
        raise OptimizeError(f"objective must be 'lcow', 'sec', a column name or a function, got {objective!r}")
    cost_model = CostModel.of(fs, params) if _needs_costs(column, constraints) else None

    fixed = dict(fixed or {})
    clash = sorted(set(fixed) & set(names))
    if clash:
        raise OptimizeError(f"{clash[0]!r} is both varied and fixed")
    from .flowsheet.build import _number

    fixed_names = list(fixed)
    fixed_values = np.array([_number(v, f"fixed value of {k}") for k, v in fixed.items()], dtype=np.float64)

    from .batch import default_threads, warm_pool
    from .flowsheet.results import compiled_evaluator, evaluator, row_solver, table_columns

    # The search's sweeps are small: a few dozen rows take one thread, larger
    # ones up to `threads` (default: every core), with a warm pool so that
    # the helpers of each sweep join it at once.
    most = default_threads() if threads is None else threads
    evaluators = {}

    def rows_of(matrix):
        # The varied values, then the fixed ones; and the sweep's thread count.
        if fixed_names:
            matrix = np.hstack([matrix, np.broadcast_to(fixed_values, (len(matrix), len(fixed_names)))])
        return matrix, threads if client is not None else most if len(matrix) >= _SHARED_ROWS else 1

    def evaluate(names_, matrix, columns=None):
        matrix, count = rows_of(matrix)
        key = (None if columns is None else tuple(columns), count)
        run = evaluators.get(key)
        if run is None:
            run = evaluators[key] = evaluator(fs, names_ + fixed_names, threads=count, client=client,
                                              columns=columns, lenient=True)
        return run(matrix)

    # The design checks that bind: their counts and margins (with the scale of each).
    binding = () if checks == "none" else ("error",) if checks == "errors" else ("error", "warning")
    from .checks import check_entries

    terms = [(f"checks.{s}s", 1.0) for s in binding]
    terms += [(column, check.scale or 1.0) for column, _, check, override in
              check_entries(fs, fs.plan(tuple(names + fixed_names))) if check.severity in binding]

    # What the scores of a batch depend on besides the plan: the same key, the same program.
    prices = None if cost_model is None else cost_model.params.key()
    key = ("scores", column, tuple((c.column, c.op, c.bound.hex()) for c in constraints), bool(maximize), prices,
           checks)

    def compile(derive):
        # The scores of each batch straight from the plan's outputs, one compiled call.
        run = compiled_evaluator(fs, names + fixed_names, derive, key=key, client=client, lenient=True)

        def score(matrix):
            matrix, count = rows_of(matrix)
            return run(matrix, count)

        return score

    final = {}

    def finish(x):
        # The optimum's full result (that of fs.solve: the sweep row of the same point, the same
        # plan) and its cost columns, from one compiled program kept with the plan.
        try:
            solve_row = row_solver(fs, names + fixed_names, None if cost_model is None else cost_model.columns,
                                   key=("optimum", prices), lenient=True)
        except TraceError:  # as the scores: from the table
            final["result"] = fs.solve(**dict(zip(names, map(float, x))), **fixed)
            row = dict(final["result"].row)
            if cost_model is not None:
                one = {name: np.array([value]) for name, value in row.items()}
                row.update({name: float(col[0]) for name, col in cost_model.columns(one).items()})
            return row
        final["result"], costs = solve_row([*map(float, x), *fixed_values])
        return {**final["result"].row, **costs}

    from .display.progress import Progress

    with warm_pool() if client is None and most > 1 else contextlib.nullcontext(), \
            Progress("optimise", None, "steps", progress) as ticker:
        x, value, feasible, row, info = search(
            evaluate, names, bounds, column, constraints, maximize=maximize, seed=seed, popsize=popsize,
            maxiter=maxiter, patience=_patience(patience, fs, names), rtol=rtol, polish=polish, polish_tol=polish_tol,
            samples=8 * popsize * len(names) if samples is None else samples,
            cost_model=cost_model, finish=finish, columns=table_columns(fs, names + fixed_names), compile=compile,
            checks=terms, integers=_whole_numbers(fs, names),
            on_step=(lambda note: ticker.update(1, note)) if ticker.enabled else None)
    result = final["result"]
    seconds = time.perf_counter() - start
    return OptimizeResult(
        x=x, objective=value, feasible=feasible, row=row, result=result, evaluations=info["evaluations"] + 1,
        seconds=seconds, generations=info["generations"], polish_steps=info["polish_steps"], sweeps=info["sweeps"],
        message=info["message"], constraints={str(c): row.get(c.column, math.nan) for c in constraints},
        checks=list(result.checks))
