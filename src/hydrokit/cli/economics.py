"""The plant-economics commands: ``costs``, ``optimize`` and ``map``.

    python -m hydrokit costs PLANT.toml [name=value ...] [--set PRICE=VALUE ...] [--json]
    python -m hydrokit optimize PLANT.toml --vary unit.slot=LOW:HIGH [--vary ...]
        [--min lcow | --max NAME] [--constraint "NAME>=VALUE" ...] [--seed N]
        [--set PRICE=VALUE ...] [--checks errors|warnings|none] [name=value ...] [--json]
    python -m hydrokit map PLANT.toml --vary X=LOW:HIGH[:COUNT] --vary Y=LOW:HIGH[:COUNT]
        [--min lcow | --max NAME] [--constraint ...] [--set ...] [--checks ...] [name=value ...] --out FILE.png

``name=value`` fixes a ``unit.slot`` or ``feed.quantity`` for the run;
``--set`` changes a cost parameter (``electricity_price=0.1``) or a unit's
cost class (``class.hp=low_pressure_pump``). ``map`` draws the objective over
the two varied slots as filled contours (COUNT points per axis, default 80),
hatches the points that break a constraint or are not valid plant points,
cross-hatches those with design-check findings, and marks the optimum found
by ``optimize``. ``--checks`` says which design checks bind the optimum:
``errors`` (default: a physically impossible point is infeasible),
``warnings`` (every design guideline too) or ``none``. Every mistake is one line on
standard error and exit status 2.
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Sequence
from typing import Any, TextIO

import numpy as np

from .common import (UsageError, streams, json_value, number, option_value, plant_value, print_json, say_error,
                     wants_help)
from .plot import picture_format, save_figure

USAGE = {
    "costs": "usage: python -m hydrokit costs PLANT.toml [name=value ...] [--set PRICE=VALUE ...] [--json]",
    "optimize": ("usage: python -m hydrokit optimize PLANT.toml --vary unit.slot=LOW:HIGH [--vary ...] "
                 "[--min lcow|sec|NAME | --max NAME] [--constraint NAME>=VALUE ...] [--seed N] "
                 "[--set PRICE=VALUE ...] [--checks errors|warnings|none] [name=value ...] [--json]"),
    "map": ("usage: python -m hydrokit map PLANT.toml --vary X=LOW:HIGH[:COUNT] --vary Y=LOW:HIGH[:COUNT] "
            "[--min lcow|sec|NAME | --max NAME] [--constraint NAME>=VALUE ...] [--seed N] [--set PRICE=VALUE ...] "
            "[--checks errors|warnings|none] [name=value ...] --out FILE.png"),
}
OPTIONS = {
    "costs": ("--set", "--json"),
    "optimize": ("--vary", "--min", "--max", "--constraint", "--seed", "--set", "--checks", "--json"),
    "map": ("--vary", "--min", "--max", "--constraint", "--seed", "--set", "--checks", "--out"),
}
FLAGS = ("--json",)
MAP_COUNT = 80
MAX_MAP_COUNT = 1000
MAP_BUDGET = 4_000_000  # values of a table of grid points held at once (32 MB)

LABELS = {"cost.lcow": ("LCOW", "$/m³"), "kpi.specific_energy_kwh_m3": ("SEC", "kWh/m³")}


def parse(command: str, argv: Sequence[str]) -> dict[str, Any]:
    """Options of a command: {"plant", "values", "vary", "objective", "maximize", "constraints", "seed",
    "set", "json", "out"}."""
    opts: dict[str, Any] = {"plant": None, "values": {}, "vary": {}, "objective": "lcow", "maximize": False, "constraints": [],
            "seed": 0, "set": {}, "json": False, "out": None, "checks": "errors"}
    allowed = OPTIONS[command]
    chosen_objective = None
    i = 0
    while i < len(argv):
        word = argv[i]
        if word.startswith("--"):
            option, eq, _ = word.partition("=")
            if option not in allowed:
                raise UsageError(f"unknown option {option!r}; choose from: {', '.join(allowed)}, --help")
            if option in FLAGS:
                if eq:
                    raise UsageError(f"{option} takes no value")
                opts["json"] = True
                i += 1
                continue
            value, i = option_value(argv, i)
            _option(command, opts, option, value)
            if option in ("--min", "--max"):
                if chosen_objective is not None:
                    raise UsageError(f"give one objective: {chosen_objective} and {option} {value}")
                chosen_objective = f"{option} {value}"
        elif opts["plant"] is None:
            opts["plant"] = word
        else:
            plant_value(word, opts["values"])
        i += 1
    if opts["plant"] is None:
        raise UsageError("name a plant file; " + USAGE[command])
    if command in ("optimize", "map") and not opts["vary"]:
        raise UsageError("name the slots to vary with --vary unit.slot=LOW:HIGH")
    if command == "map":
        if len(opts["vary"]) != 2:
            raise UsageError(f"map needs exactly two --vary slots, got {len(opts['vary'])}")
        if not opts["out"]:
            raise UsageError("name the picture with --out FILE.png")
        picture_format(opts["out"])  # before any plant point is solved
    clash = sorted(set(opts["vary"]) & set(opts["values"]))
    if clash:
        raise UsageError(f"{clash[0]} is both varied and fixed")
    return opts


def _option(command: str, opts: dict[str, Any], option: str, value: str) -> None:
    if option == "--vary":
        name, eq, span = value.partition("=")
        if not eq or not name:
            raise UsageError(f"--vary needs unit.slot=LOW:HIGH, got {value!r}")
        if name in opts["vary"]:
            raise UsageError(f"{name} is varied twice")
        parts = span.split(":")
        if len(parts) not in ((2, 3) if command == "map" else (2,)):
            form = "LOW:HIGH[:COUNT]" if command == "map" else "LOW:HIGH"
            raise UsageError(f"--vary {value}: write {name}={form}")
        low = number(parts[0], f"low bound of {name}")
        high = number(parts[1], f"high bound of {name}")
        if not (math.isfinite(low) and math.isfinite(high) and low < high and math.isfinite(high - low)):
            raise UsageError(f"--vary {value}: bounds must be finite with LOW < HIGH (and HIGH - LOW finite)")
        count = MAP_COUNT
        if len(parts) == 3:
            try:
                count = int(parts[2])
            except ValueError:
                raise UsageError(f"COUNT {parts[2]!r} of {name} is not a whole number") from None
            if not 2 <= count <= MAX_MAP_COUNT:
                raise UsageError(f"COUNT of {name} must be from 2 to {MAX_MAP_COUNT}, got {count}")
        opts["vary"][name] = (low, high, count)
    elif option in ("--min", "--max"):
        opts["objective"] = value
        opts["maximize"] = option == "--max"
    elif option == "--constraint":
        from ..optimize import OptimizeError, parse_constraint

        try:
            opts["constraints"].append(parse_constraint(value))
        except OptimizeError as exc:
            raise UsageError(str(exc)) from None
    elif option == "--seed":
        try:
            opts["seed"] = int(value)
        except ValueError:
            raise UsageError(f"--seed {value!r} is not a whole number") from None
        if not 0 <= opts["seed"] < 2**63:
            raise UsageError(f"--seed must be from 0 to {2**63 - 1}, got {value}")
    elif option == "--set":
        name, eq, text = value.partition("=")
        if not eq or not name:
            raise UsageError(f"--set needs PRICE=VALUE or class.UNIT=CLASS, got {value!r}")
        if name in opts["set"]:
            raise UsageError(f"--set {name} is given twice")
        opts["set"][name] = text
    elif option == "--out":
        opts["out"] = value
    elif option == "--checks":
        if value not in ("errors", "warnings", "none"):
            raise UsageError(f"--checks {value!r}: choose from: errors, warnings, none")
        opts["checks"] = value


def cost_parameters(settings: dict[str, str], fs: Any) -> Any:
    """CostParameters from ``--set`` words."""
    from ..costing import CLASSES, CostParameters

    fields = {f.name: f for f in dataclasses.fields(CostParameters) if f.name != "unit_classes"}
    changes, classes = {}, {}
    for name, text in settings.items():
        if name.startswith("class."):
            unit = name[len("class."):]
            if unit not in fs.units:
                raise UsageError(f"--set {name}: unknown unit {unit!r}; choose from: {', '.join(fs.units)}")
            if text not in CLASSES:
                raise UsageError(f"--set {name}: unknown cost class {text!r}; choose from: {', '.join(CLASSES)}")
            classes[unit] = text
        elif name in fields:
            changes[name] = number(text, f"--set {name}")
        else:
            raise UsageError(f"--set: unknown cost parameter {name!r}; choose from: {', '.join(fields)}, class.UNIT")
    try:
        return CostParameters(**changes, unit_classes=classes)
    except ValueError as exc:
        raise UsageError(str(exc)) from None


def _load(opts: dict[str, Any]) -> tuple[Any, Any]:
    from ..flowsheet.plantfile import load

    fs = load(opts["plant"])
    return fs, cost_parameters(opts["set"], fs)


def _slot_unit(fs: Any, name: str) -> str:
    """The unit of a varied or fixed name (``unit.slot`` or ``feed.quantity``), '' if unknown."""
    from ..ports import STREAM_UNITS

    head, _, slot = name.partition(".")
    if head in fs.units:
        lay = fs.units[head].layout
        try:
            vector, index = lay.resolve(slot)
        except Exception:
            return ""
        return str((lay.inputs if vector == "u" else lay.params)[index].unit)
    if head in fs.feeds:
        return STREAM_UNITS.get(slot, STREAM_UNITS["component"])
    if head in fs.thermal:
        return {"outlet_temperature_c": "°C", "duty_kw": "kW"}.get(slot, "")
    return ""


def _rows(rows: Sequence[tuple[str, Any, str]], out: TextIO, indent: str = "") -> None:
    from ..layout import format_value

    # A whole-number variable (an array's vessel count) prints as one.
    texts = [(name, str(value) if type(value) is int else format_value(float(value)), unit)
             for name, value, unit in rows]
    wn = max(len(t[0]) for t in texts)
    wv = max(len(t[1]) for t in texts)
    for name, text, unit in texts:
        print(f"{indent}{name:<{wn}}  {text:>{wv}}  {unit}".rstrip(), file=out)


def run_costs(opts: dict[str, Any], out: TextIO) -> None:
    fs, params = _load(opts)
    from ..costing import costs

    res = fs.solve(**opts["values"])
    c = costs(res, params)
    if opts["json"]:
        doc = {"plant": opts["plant"], "converged": bool(res.converged),
               "lines": [{"name": n, "value": json_value(v), "unit": u} for n, v, u in c.lines()],
               "classes": c.classes}
        print_json(doc, out)
        return
    print(f"{opts['plant']}: costs", file=out)
    _rows(c.lines(), out, "  ")
    print("classes: " + ", ".join(f"{u} = {k}" for u, k in c.classes.items()), file=out)
    if not res.converged:
        print("note: the recycle did not converge; the figures are of the last iterate", file=out)


def _optimize(fs: Any, params: Any, opts: dict[str, Any]) -> Any:
    from ..optimize import optimize

    vary = {name: span[:2] for name, span in opts["vary"].items()}
    return optimize(fs, opts["objective"], vary, opts["constraints"], seed=opts["seed"], params=params,
                    maximize=opts["maximize"], fixed=opts["values"], checks=opts["checks"])


def _objective_label(objective: str) -> tuple[str, tuple[str, str]]:
    from ..optimize import OBJECTIVES

    column = OBJECTIVES.get(objective, objective)
    return column, LABELS.get(column, (column, ""))


def run_optimize(opts: dict[str, Any], out: TextIO) -> None:
    from ..costing import LINES

    fs, params = _load(opts)
    best = _optimize(fs, params, opts)
    column, (label, unit) = _objective_label(opts["objective"])
    unit = unit or LINES.get(column, "")
    kpis = {f"kpi.{k}": v for k, v in best.result.kpis.items()}
    if opts["json"]:
        doc = {"plant": opts["plant"], "objective": {"name": opts["objective"], "column": column,
                                                      "sense": "max" if opts["maximize"] else "min",
                                                      "value": json_value(best.objective), "unit": unit},
               "feasible": best.feasible,
               "x": [{"name": n, "value": json_value(v), "unit": _slot_unit(fs, n)} for n, v in best.x.items()],
               "constraints": {k: json_value(v) for k, v in best.constraints.items()},
               "kpis": {k: json_value(float(v)) for k, v in kpis.items()},
               "lcow": json_value(best.row.get("cost.lcow", math.nan)),
               "evaluations": best.evaluations, "generations": best.generations,
               "polish_steps": best.polish_steps, "sweeps": best.sweeps, "seconds": best.seconds,
               "seed": opts["seed"], "checks_binding": opts["checks"], "valid": best.result.valid,
               "checks": [{"unit": f.unit, "check": f.check, "severity": f.severity, "value": json_value(f.value),
                           "limit": json_value(f.limit), "units": f.units, "message": f.message}
                          for f in best.checks]}
        print_json(doc, out)
        return
    state = "feasible" if best.feasible else "NO feasible point found; the least infeasible"
    print(f"{opts['plant']}: {'maximum' if opts['maximize'] else 'minimum'} of {label} ({state})", file=out)
    _rows([(n, v, _slot_unit(fs, n)) for n, v in best.x.items()] + [(label, best.objective, unit)], out, "  ")
    if best.constraints:
        print("constraints", file=out)
        _rows([(k, v, "") for k, v in best.constraints.items()], out, "  ")
    print("key figures", file=out)
    rows = [(k, v, "") for k, v in kpis.items()]
    if "cost.lcow" in best.row and column != "cost.lcow":
        rows.append(("cost.lcow", best.row["cost.lcow"], "$/m³"))
    _rows(rows, out, "  ")
    print(f"design checks at the optimum ({opts['checks']} bind)", file=out)
    for finding in best.checks or ():
        print(f"  {finding.severity}: {finding.message}", file=out)
    if not best.checks:
        print("  no findings", file=out)
    print(f"{best.evaluations} plant evaluations in {best.sweeps} sweeps, {best.seconds:.3g} s "
          f"({best.generations} generations, {best.polish_steps} polish steps, seed {opts['seed']})", file=out)


def run_map(opts: dict[str, Any], out: TextIO) -> None:
    fs, params = _load(opts)
    draw_map(fs, params, opts)
    print(f"wrote {opts['out']}", file=out)


def map_table(fs: Any, params: Any, opts: dict[str, Any]) -> tuple[Any, ...]:
    """The grid of the two varied slots: (x, y, z grid, bad-point mask, optimum result)."""
    from ..costing import CostModel
    from ..optimize import OBJECTIVES

    (xn, (x0, x1, nx)), (yn, (y0, y1, ny)) = opts["vary"].items()
    xs, ys = np.linspace(x0, x1, nx), np.linspace(y0, y1, ny)
    names = [xn, yn, *opts["values"]]
    mesh = np.meshgrid(xs, ys, indexing="ij")
    matrix = np.column_stack([mesh[0].ravel(), mesh[1].ravel()]
                             + [np.full(nx * ny, v) for v in opts["values"].values()])
    column = OBJECTIVES.get(opts["objective"], opts["objective"])
    model = CostModel(fs, params)
    # The grid in chunks of rows whose whole table stays within MAP_BUDGET values: a large plant
    # over a fine grid would otherwise need its every column for every point at once.
    step = max(1, MAP_BUDGET // len(fs.plan(tuple(names)).columns))
    z = np.empty(len(matrix))
    bad = np.empty(len(matrix), dtype=bool)
    found = np.empty(len(matrix), dtype=bool)
    for start in range(0, len(matrix), step):
        part = slice(start, start + step)
        table = dict(fs.evaluate(names, matrix[part]))
        table.update(model.columns(table))
        if column not in table:
            raise UsageError(f"unknown objective column {column!r}; "
                             "choose e.g. lcow, sec, kpi.recovery, cost.capital_total")
        z[part] = np.asarray(table[column], dtype=np.float64)
        wrong = ~np.isfinite(z[part]) | (np.asarray(table["flagged"]) != 0) | (np.asarray(table["converged"]) != 1)
        for con in opts["constraints"]:
            if con.column not in table:
                raise UsageError(f"unknown constraint column {con.column!r}")
            values = np.asarray(table[con.column], dtype=np.float64)
            with np.errstate(invalid="ignore"):
                wrong |= ~np.isfinite(values) | (con.excess(values) > 0)
        # Points with design-check findings: errors always, warnings when they bind; those that
        # bind are not shaded either.
        hit = np.asarray(table["checks.errors"]) > 0
        if opts["checks"] == "warnings":
            hit |= np.asarray(table["checks.warnings"]) > 0
        if opts["checks"] != "none":
            wrong |= hit
        found[part] = hit
        bad[part] = wrong
    best = _optimize(fs, params, opts)
    return xs, ys, z.reshape(nx, ny), bad.reshape(nx, ny), best, column, found.reshape(nx, ny)


def draw_map(fs: Any, params: Any, opts: dict[str, Any]) -> Any:
    try:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
        from matplotlib.ticker import MaxNLocator
    except ImportError:
        raise UsageError("drawing needs matplotlib: install hydrokit[plot]") from None
    xs, ys, z, bad, best, column, found = map_table(fs, params, opts)
    (xn, yn) = list(opts["vary"])
    label, unit = LABELS.get(column, (column, ""))
    fig = Figure(figsize=(7.0, 5.2), layout="constrained")
    FigureCanvasAgg(fig)
    ax = fig.subplots()
    shown = np.where(bad | ~np.isfinite(z), np.nan, z).T
    finite = shown[np.isfinite(shown)]
    if finite.size:
        # Levels over the useful range: a few very expensive corners would flatten the rest.
        lo, hi = np.percentile(finite, [0, 95]) if finite.size > 20 else (finite.min(), finite.max())
        levels = MaxNLocator(nbins=20).tick_values(lo, hi if hi > lo else lo + 1.0)
        filled = ax.contourf(xs, ys, np.clip(shown, None, levels[-1]), levels=levels, cmap="viridis_r",
                             extend="neither")
        fig.colorbar(filled, ax=ax, label=f"{label} [{unit}]" if unit else label)
    if bad.any():
        ax.contourf(xs, ys, bad.T.astype(float), levels=[0.5, 1.5], colors="none", hatches=["///"])
        ax.contour(xs, ys, bad.T.astype(float), levels=[0.5], colors="0.3", linewidths=0.8)
    if found.any():
        ax.contourf(xs, ys, found.T.astype(float), levels=[0.5, 1.5], colors="none", hatches=["xx"])
        ax.contour(xs, ys, found.T.astype(float), levels=[0.5], colors="tab:red", linewidths=0.8)
    bx, by = best.x[xn], best.x[yn]
    ax.plot([bx], [by], marker="*", markersize=16, color="tab:red", markeredgecolor="white", linestyle="none",
            label=f"optimum: {label} = {best.objective:.4g}{(' ' + unit) if unit else ''}")
    ax.set_xlabel(f"{xn} [{_slot_unit(fs, xn)}]")
    ax.set_ylabel(f"{yn} [{_slot_unit(fs, yn)}]")
    title = f"{'maximum' if opts['maximize'] else 'minimum'} of {label}"
    if opts["constraints"]:
        title += " with " + ", ".join(str(c) for c in opts["constraints"])
    what = "error" if opts["checks"] != "warnings" else "error or warning"
    title += f"\nhatched: a constraint not met or the plant point flagged; crossed: a design-check {what}"
    ax.set_title(title, fontsize=10)
    ax.set_xlim(xs[0], xs[-1])
    ax.set_ylim(ys[0], ys[-1])
    ax.legend(loc="upper right", fontsize=9)
    save_figure(fig, opts["out"])
    return best


def run(command: str, argv: Sequence[str], out: TextIO | None = None, err: TextIO | None = None,
        prog: str | None = None) -> int:
    """Run ``costs``, ``optimize`` or ``map``; returns the exit status (2 for any error)."""
    from ..flowsheet.build import FlowsheetError
    from ..flowsheet.plantfile import PlantFileError
    from ..optimize import OptimizeError

    out, err, prog = streams(out, err, prog, command)
    if wants_help(argv):
        print(USAGE[command].replace(f"python -m hydrokit {command}", prog, 1), file=out)
        return 0
    try:
        opts = parse(command, argv)
        {"costs": run_costs, "optimize": run_optimize, "map": run_map}[command](opts, out)
        return 0
    except (UsageError, PlantFileError, FlowsheetError, OptimizeError) as exc:
        message = str(exc)
    except ImportError as exc:  # SciPy missing
        message = f"{exc}; install hydrokit[optimize]"
    except BrokenPipeError:
        raise  # the reader went away: the guard ends quietly (141)
    except OSError as exc:  # a picture that cannot be written
        message = f"{type(exc).__name__}: {exc}"
    return say_error(f"hydrokit {command}", message, err)


def costs_main(argv: Sequence[str], out: TextIO | None = None, err: TextIO | None = None,
               prog: str | None = None) -> int:
    return run("costs", argv, out, err, prog)


def optimize_main(argv: Sequence[str], out: TextIO | None = None, err: TextIO | None = None,
                  prog: str | None = None) -> int:
    return run("optimize", argv, out, err, prog)


def map_main(argv: Sequence[str], out: TextIO | None = None, err: TextIO | None = None,
             prog: str | None = None) -> int:
    return run("map", argv, out, err, prog)
