"""Design optimisation of a flowsheet: a global search over its compiled sweep, then a local polish.

The search itself (:mod:`hydrokit.search`) knows nothing of plants; this module is the
flowsheet's side: bounds of its slots, its sweeps and compiled score programs, the costs,
the design checks that bind and the full result at the optimum.

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
import math
import time
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Protocol

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .batch.program import TraceError
from .checks import CheckedPlant
from .search import (MAXITER, OPERATORS, PATIENCE, POLISH_TOL, POPSIZE, RTOL, Constraint, OptimizeError,
                     parse_constraint, search)

if TYPE_CHECKING:
    from .checks import Finding
    from .costing import CostParameters

__all__ = ["Constraint", "OptimizeResult", "optimize", "search", "parse_constraint", "OptimizeError"]

# Sweeps of fewer rows take one thread: handing rows to another thread costs more than it saves.
_SHARED_ROWS = 64
# Objective shorthands -> table column.
OBJECTIVES = {"lcow": "cost.lcow", "sec": "kpi.specific_energy_kwh_m3"}

Array = NDArray[np.float64]
Table = Mapping[str, Any]   # column name -> one value per row


class Plant(CheckedPlant, Protocol):
    """What a search reads of a flowsheet besides what the design checks read: its evaluators, plans
    and table columns, a solve, and for the costs its connections."""

    @property
    def connections(self) -> Mapping[tuple[str, str], tuple[str, str]]: ...

    def evaluator(self, names: Sequence[str], *, threads: int | None = None, client: Any = None,
                  chunk_rows: int | None = None, columns: Iterable[str] | None = None, lenient: bool = False,
                  progress: bool = False) -> Callable[[ArrayLike], dict[str, Array]]: ...

    def compiled_evaluator(self, names: Sequence[str], derive: Callable[[Any], Any], *, key: Any = None,
                           threads: int | None = None, client: Any = None, chunk_rows: int | None = None,
                           lenient: bool = False) -> Any: ...

    def row_solver(self, names: Sequence[str], extra: Callable[[Any], Mapping[str, Any]] | None = None,
                   key: Any = None, lenient: bool = False) -> Callable[[Sequence[float]], tuple[Any, dict[str, float]]]: ...

    def table_columns(self, names: str | Sequence[str]) -> frozenset[str]: ...

    def plan(self, names: Iterable[str] = ()) -> Any: ...

    def solve(self, **values: float) -> Any: ...


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

    x: dict[str, float]     # varied name -> value at the optimum
    objective: float        # objective at the optimum (as given: maximised objectives are not negated)
    feasible: bool          # every constraint holds and the plant point is valid
    row: dict[str, float]   # the optimum's row of the result table (cost columns included), name -> value
    result: Any = None      # the flowsheet's full result at the optimum (fs.solve(**x))
    evaluations: int = 0    # plant points evaluated
    seconds: float = 0.0    # wall time of the search, polish and final solve
    generations: int = 0    # generations of the global search
    polish_steps: int = 0   # steps of the polish
    sweeps: int = 0         # compiled sweeps of the search and the polish
    message: str = ""
    constraints: dict[str, float] = field(default_factory=dict)  # "column<=bound" -> value at the optimum
    checks: list[Finding] = field(default_factory=list)       # design-check findings at the optimum

    def __repr__(self) -> str:
        xs = ", ".join(f"{k}={v:.6g}" for k, v in self.x.items())
        return (f"OptimizeResult({xs}; objective={self.objective:.6g}, feasible={self.feasible}, "
                f"evaluations={self.evaluations}, seconds={self.seconds:.3g})")

    def _repr_html_(self) -> str:
        return optimize_html(self)


def optimize_html(r: OptimizeResult, wrapped: bool = True) -> str:
    """The answer as HTML: objective, feasibility, the optimum and the constraints there (``wrapped``:
    with the style sheet, for a notebook; bare for a page that has its own)."""
    from .present.html import table, wrap
    from .present.units import human

    rows = [[k, human(v)] for k, v in r.x.items()]
    cons = [[k, human(v)] for k, v in r.constraints.items()]
    head = (f'<p>objective <b>{human(r.objective)}</b>, '
            f'<span class="{"ok" if r.feasible else "error"}">{"feasible" if r.feasible else "NOT feasible"}</span>, '
            f"{r.evaluations} evaluations in {r.seconds:.3g} s</p>")
    body = head + "<h3>Optimum</h3>" + table(["varied", "value"], rows)
    if cons:
        body += "<h3>Constraints at the optimum</h3>" + table(["constraint", "value"], cons)
    return wrap(body) if wrapped else body


def _bounds(vary: Mapping[str, Any] | None) -> tuple[list[str], list[tuple[float, float]]]:
    if not vary:
        raise OptimizeError("vary names no slot; give {'unit.slot': (low, high), ...}")
    names: list[str] = []
    bounds: list[tuple[float, float]] = []
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


def _whole(value: object, name: str, low: int, high: int | None = None) -> int:
    """An option that is a whole number in [low, high], or a one-line OptimizeError."""
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise OptimizeError(f"{name} must be a whole number, got {value!r}"[:200])
    whole = int(value)
    if whole < low or (high is not None and whole > high):
        span = f"from {low} to {high}" if high is not None else f"at least {low}"
        raise OptimizeError(f"{name} must be {span}, got {whole}"[:200])
    return whole


def _positive(value: object, name: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float, np.number)):
        raise OptimizeError(f"{name} must be a number, got {value!r}"[:200])
    try:
        number = float(value)
    except OverflowError:
        number = math.inf
    if not (math.isfinite(number) and number > 0):
        raise OptimizeError(f"{name} must be a finite number > 0, got {number!r}")
    return number


def _check_options(seed: object, threads: object, popsize: object, samples: object, maxiter: object, patience: object,
                   rtol: object, polish_tol: object) -> None:
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


def _whole_numbers(fs: Plant, names: Sequence[str]) -> list[bool]:
    """True for each varied name that takes whole numbers (an array's vessel count)."""
    arrays: Mapping[str, Any] = getattr(fs, "arrays", {})
    return [n.partition(".")[0] in arrays and n.endswith(".vessels") for n in names]


def _patience(patience: int | None, fs: Plant, names: Sequence[str]) -> int:
    # Whole-number variables move the objective in steps: the search needs more generations
    # without progress before it may conclude which counts win.
    if patience is not None:
        return patience
    return WHOLE_NUMBER_PATIENCE if any(_whole_numbers(fs, names)) else PATIENCE


WHOLE_NUMBER_PATIENCE = 30


def _needs_costs(objective: str | Callable[[Table], ArrayLike], constraints: Sequence[Constraint]) -> bool:
    if callable(objective):
        return True
    return objective.startswith("cost.") or any(c.column.startswith("cost.") for c in constraints)


def optimize(fs: Plant, objective: str | Callable[[Table], ArrayLike] = "lcow",
             vary: Mapping[str, tuple[float, float]] | None = None, constraints: Iterable[Any] = (), *,
             seed: int = 0, client: Any = None, threads: int | None = None, params: CostParameters | None = None,
             maximize: bool = False, fixed: Mapping[str, float] | None = None, polish: bool = True,
             popsize: int = POPSIZE, samples: int | None = None, maxiter: int = MAXITER, patience: int | None = None,
             rtol: float = RTOL, polish_tol: float = POLISH_TOL, checks: str = "errors",
             progress: bool | None = None) -> OptimizeResult:
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
    names, bounds = _bounds(vary)
    from .flowsheet.nodes import MAX_VESSELS, finite_number

    for name, whole, (low, high) in zip(names, _whole_numbers(fs, names), bounds):
        if whole and not (np.rint(low) >= 1 and MAX_VESSELS >= np.rint(high) >= np.rint(low)):
            raise OptimizeError(f"{name!r} is a vessel count: its bounds must round to whole numbers from 1 to "
                                f"{MAX_VESSELS:_}, got ({low:g}, {high:g})")
    constraints = [parse_constraint(c) for c in constraints]
    column: str | Callable[[Table], ArrayLike]
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
    fixed_names = list(fixed)
    fixed_values = np.array([finite_number(v, f"fixed value of {k}") for k, v in fixed.items()], dtype=np.float64)

    from .batch import default_threads, warm_pool

    # The search's sweeps are small: a few dozen rows take one thread, larger
    # ones up to `threads` (default: every core), with a warm pool so that
    # the helpers of each sweep join it at once.
    most = default_threads() if threads is None else threads
    evaluators: dict[tuple[tuple[str, ...] | None, int | None], Callable[[ArrayLike], dict[str, Array]]] = {}

    def rows_of(matrix: Array) -> tuple[Array, int | None]:
        # The varied values, then the fixed ones; and the sweep's thread count.
        if fixed_names:
            matrix = np.hstack([matrix, np.broadcast_to(fixed_values, (len(matrix), len(fixed_names)))])
        return matrix, threads if client is not None else most if len(matrix) >= _SHARED_ROWS else 1

    def evaluate(names_: list[str], matrix: Array, columns: list[str] | None = None) -> Table:
        matrix, count = rows_of(matrix)
        key = (None if columns is None else tuple(columns), count)
        run = evaluators.get(key)
        if run is None:
            run = evaluators[key] = fs.evaluator(names_ + fixed_names, threads=count, client=client,
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

    def compile(derive: Callable[[Table], list[Any]]) -> Callable[[Array], Any]:
        # The scores of each batch straight from the plan's outputs, one compiled call.
        run = fs.compiled_evaluator(names + fixed_names, derive, key=key, client=client, lenient=True)

        def score(matrix: Array) -> Any:
            matrix, count = rows_of(matrix)
            return run(matrix, count)

        return score

    final: dict[str, Any] = {}

    def finish(x: Array) -> dict[str, float]:
        # The optimum's full result (that of fs.solve: the sweep row of the same point, the same
        # plan) and its cost columns, from one compiled program kept with the plan.
        try:
            solve_row = fs.row_solver(names + fixed_names, None if cost_model is None else cost_model.columns,
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

    from .present.progress import Progress

    with warm_pool() if client is None and most > 1 else contextlib.nullcontext(), \
            Progress("optimise", None, "steps", progress) as ticker:
        x, value, feasible, row, info = search(
            evaluate, names, bounds, column, constraints, maximize=maximize, seed=seed, popsize=popsize,
            maxiter=maxiter, patience=_patience(patience, fs, names), rtol=rtol, polish=polish, polish_tol=polish_tol,
            samples=8 * popsize * len(names) if samples is None else samples,
            cost_model=cost_model, finish=finish, columns=fs.table_columns(names + fixed_names), compile=compile,
            checks=terms, integers=_whole_numbers(fs, names),
            on_step=(lambda note: ticker.update(1, note)) if ticker.enabled else None)
    result = final["result"]
    seconds = time.perf_counter() - start
    return OptimizeResult(
        x=x, objective=value, feasible=feasible, row=row, result=result, evaluations=info["evaluations"] + 1,
        seconds=seconds, generations=info["generations"], polish_steps=info["polish_steps"], sweeps=info["sweeps"],
        message=info["message"], constraints={str(c): row.get(c.column, math.nan) for c in constraints},
        checks=list(result.checks))
