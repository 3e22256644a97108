"""The ``diagram`` and ``report`` commands of a plant file, and the engineering-unit printout.

``python -m hydrokit diagram PLANT.toml [name=value ...] [--values] --out FILE.svg|.png|.pdf``
``python -m hydrokit report PLANT.toml [name=value ...] [--optimize NAME=LO:HI,...]
[--objective lcow] [--constraint EXPR ...] --out report.html``

Mistakes are one line on standard error and exit status 2, as for ``flowsheet``.
"""

from __future__ import annotations

import os
import tomllib
from collections.abc import Callable, Sequence
from typing import Any, TextIO

from ..display.units import human
from ..flowsheet.readout import flagged
from .common import UsageError, say_error, solve_plant, streams, wants_help

DIAGRAM_USAGE = "usage: {prog} PLANT.toml [unit.slot=value ...] [--values] --out FILE.svg|FILE.png|FILE.pdf"
REPORT_USAGE = ("usage: {prog} PLANT.toml [unit.slot=value ...] [--optimize NAME=LOW:HIGH[,NAME=LOW:HIGH ...]] "
                "[--objective lcow|sec|COLUMN] [--constraint COLUMN>=VALUE ...] [--units engineering|si] "
                "--out FILE.html")


def _options(argv: Sequence[str], flags: Sequence[str], valued: dict[str, str],
             usage: str) -> tuple[list[str], dict[str, Any]]:
    """(positional words, {option: value or [values]}) with the options checked."""
    words: list[str] = []
    opts: dict[str, Any] = {}
    it = iter(argv)
    for w in it:
        if w in flags:
            opts[w] = True
        elif w in valued:
            value = next(it, None)
            if value is None:
                raise UsageError(f"{w} needs a value; {usage}")
            if valued[w] == "many":
                opts.setdefault(w, []).append(value)
            else:
                opts[w] = value
        elif w.startswith("--") and "=" in w and w.split("=", 1)[0] in valued:
            key, value = w.split("=", 1)
            opts.setdefault(key, []).append(value) if valued[key] == "many" else opts.__setitem__(key, value)
        elif w.startswith("--"):
            raise UsageError(f"unknown option {w!r}; choose from: {', '.join([*flags, *valued, '--help'])}")
        else:
            words.append(w)
    return words, opts


def _title(path: str) -> str:
    try:
        with open(path, "rb") as f:
            return str(tomllib.load(f).get("title", ""))
    except (OSError, tomllib.TOMLDecodeError):
        return ""


def _out(opts: dict[str, Any], exts: Sequence[str], usage: str) -> str:
    out = opts.get("--out")
    if not out:
        raise UsageError(f"give the file to write with --out; {usage}")
    ext = os.path.splitext(out)[1].lower().lstrip(".")
    if ext not in exts or os.path.isdir(out):
        raise UsageError(f"--out {out!r}: give a file ending in {', '.join('.' + e for e in exts)}")
    return str(out)


def _run(fn: Callable[[], int], prog: str, err: TextIO, name: str) -> int:
    from ..flowsheet.plantfile import PlantFileError

    try:
        return fn()
    except (UsageError, PlantFileError) as exc:
        return say_error(f"hydrokit {name}", exc, err)
    except BrokenPipeError:
        raise  # the reader went away: the guard ends quietly (141)
    except OSError as exc:
        return say_error(f"hydrokit {name}", f"cannot write: {exc}", err)


def diagram_main(argv: Sequence[str], out: TextIO | None = None, err: TextIO | None = None,
                 prog: str | None = None) -> int:
    out, err, prog = streams(out, err, prog, "diagram")
    usage = DIAGRAM_USAGE.format(prog=prog)

    def run() -> int:
        if wants_help(argv):
            print(usage, file=out)
            return 0
        words, opts = _options(argv, ("--values",), {"--out": "one"}, usage)
        target = _out(opts, ("svg", "png", "pdf"), usage)
        path, fs, _, res = solve_plant(words, usage)
        from ..display.diagram import diagram, save

        svg = diagram(fs, res if opts.get("--values") else None, title=_title(path) or None)
        try:
            save(svg, target)
        except ImportError:
            raise UsageError(f"writing {target!r} needs matplotlib (pip install \".[plot]\"); "
                             f"an .svg needs nothing") from None
        print(target, file=out)
        return 0

    return _run(run, prog, err, "diagram")


def _vary(text: str) -> dict[str, tuple[float, float]]:
    vary = {}
    for item in text.split(","):
        name, sep, span = item.partition("=")
        lo, sep2, hi = span.partition(":")
        try:
            vary[name.strip()] = (float(lo), float(hi))
        except ValueError:
            raise UsageError(f"--optimize expects NAME=LOW:HIGH, got {item!r}") from None
        if not sep or not sep2:
            raise UsageError(f"--optimize expects NAME=LOW:HIGH, got {item!r}")
    return vary


def report_main(argv: Sequence[str], out: TextIO | None = None, err: TextIO | None = None,
                prog: str | None = None) -> int:
    out, err, prog = streams(out, err, prog, "report")
    usage = REPORT_USAGE.format(prog=prog)

    def run() -> int:
        if wants_help(argv):
            print(usage, file=out)
            return 0
        words, opts = _options(argv, (), {"--out": "one", "--optimize": "many", "--objective": "one",
                                          "--constraint": "many", "--units": "one"}, usage)
        units = opts.get("--units", "engineering")
        if units not in ("engineering", "si"):
            raise UsageError(f"--units takes engineering or si, got {units!r}")
        target = _out(opts, ("html", "htm"), usage)
        path, fs, values, res = solve_plant(words, usage)
        optimisation = ""
        if opts.get("--optimize"):
            from ..optimize import OptimizeError
            from ..display.report import optimisation_section

            vary = {}
            for text in opts["--optimize"]:
                vary.update(_vary(text))
            objective = opts.get("--objective", "lcow")
            fixed = {k: v for k, v in values.items() if k not in vary}
            try:
                best = fs.optimize(objective, vary, opts.get("--constraint", []), seed=0, fixed=fixed or None)
            except (OptimizeError, ValueError) as exc:
                raise UsageError(f"{path}: {exc}") from None
            res = best.result

            def lcow_along(name: str, xs: Any) -> list[float]:
                import numpy as np

                from ..costing import CostModel

                point = {**fixed, **best.x}
                names = list(point)
                matrix = np.tile([point[k] for k in names], (len(xs), 1))
                matrix[:, names.index(name)] = xs
                table = fs.evaluate(names, matrix)
                lcow: list[float] = CostModel.of(fs).columns(table)["cost.lcow"].tolist()
                return lcow

            optimisation = optimisation_section(fs, best, vary, lcow_along)
        from ..display.report import report

        page = report(fs, res, title=_title(path), source=path, optimisation=optimisation, overrides=values,
                      units=units)
        with open(target, "w", encoding="utf-8") as f:
            f.write(page)
        print(f"report written to {target}", file=out)
        return 0

    return _run(run, prog, err, "report")


def print_engineering(path: str, fs: Any, res: Any, out: TextIO) -> None:
    """The ``flowsheet`` printout in engineering units, with people's digits and the design checks."""
    from ..display.html import findings, kpi_rows, output_rows, plant_units, projection_rows, stream_rows

    state = "converged" if res.converged else "NOT converged"
    print(f"{path}: {state} after {int(res.iterations)} tear iteration(s), residual {res.residual:.3g}", file=out)
    headers, rows = stream_rows(res)
    _table([headers] + rows, out)
    for name, (kind, what) in plant_units(fs).items():
        print(f"\n{'unit' if kind == 'unit' else kind} {name} ({what})", file=out)
        _table(output_rows(res, name), out, "  ", True)
        if kind == "array":
            print(f"\n  element projection of {name} (per vessel of each stage)", file=out)
            headers, rows = projection_rows(res, name)
            _table([headers] + rows, out, "  ")
    print("\nkey figures", file=out)
    _table(kpi_rows(res), out, "  ", True)
    found = findings(res)
    if hasattr(res, "checks"):
        print("\ndesign checks: " + ("none failed" if not found else ""), file=out)
        tty = getattr(out, "isatty", lambda: False)()
        for f in found:
            sev = getattr(f, "severity", "warning")
            colour = ("\033[31m" if sev == "error" else "\033[33m") if tty else ""
            reset = "\033[0m" if tty else ""
            print(f"  {colour}{sev.upper()}{reset} {getattr(f, 'unit', '')}: {getattr(f, 'message', '')}", file=out)
    marks = flagged(fs, res)
    if marks:
        print("\nflagged: " + ", ".join(f"{k} = {human(v)}" for k, v in marks.items()), file=out)


def _table(rows: Sequence[Sequence[Any]], out: TextIO, indent: str = "", unit_last: bool = False) -> None:
    widths = [max(len(str(r[i])) for r in rows) for i in range(len(rows[0]))]
    for r in rows:
        cells = [str(r[0]).ljust(widths[0])] + [str(c).rjust(w) for c, w in zip(r[1:], widths[1:])]
        if unit_last:
            cells[-1] = str(r[-1])
        print((indent + "  ".join(cells)).rstrip(), file=out)
