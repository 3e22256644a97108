"""The ``flowsheet`` command: ``python -m hydrokit flowsheet PLANT.toml [name=value ...] [--json] [--check]``.

Builds the plant file, solves it once with the named overrides (``unit.slot``
or ``feed.quantity``) and prints the streams, every unit's outputs, each
array's projection table, the key figures, each with its unit, and the design
checks' findings (errors first). Mistakes are one line on standard error and
exit status 2; a recycle that did not converge is reported, not an error. With
``--check`` the exit status is 3 when a design check finds an error (a
physically impossible point), else 0.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any, TextIO

from ..checks import changed_limits
from ..flowsheet.plantfile import PlantFileError
from ..flowsheet.readout import flagged, output_units, projection, stream_units
from ..flowsheet.results import KPI_UNITS
from ..layout import format_value
from .common import UsageError, json_value, say_error, solve_plant, wants_help
from .common import print_json as dump_json
from .common import streams as command_streams

USAGE = "usage: {prog} PLANT.toml [unit.slot=value | feed.quantity=value ...] [--json] [--check] [--units si|engineering]"
ERROR_FINDING = 3  # exit status of --check when a design check finds an error


def _cell(header: str, value: Any) -> str:
    """A projection-table cell to the digits a designer reads (the JSON output has them all)."""
    if header in ("stage", "element"):
        return str(value)
    if not math.isfinite(value):
        return str(value)
    digits = {"recovery": ".4f", "flux [L/(m²·h)]": ".2f", "polarisation": ".4f"}.get(header)
    if digits is None:
        digits = ".1f" if "g/m³" in header else ".3f"
    return format(float(value), digits)


def report(fs: Any, res: Any) -> tuple[dict[str, dict[str, float]], dict[str, Any], list[dict[str, Any]]]:
    """Everything printed, as plain data."""
    streams = {name: dict(res.stream(name)) for name in fs.streams()}
    units = {}
    for name, unit in fs.units.items():
        slot_units = output_units(unit.model)
        units[name] = {"model": unit.model,
                       "outputs": [{"name": k, "value": v, "unit": slot_units.get(k, "")}
                                   for k, v in res.outputs(name).items()]}
    for name, node in fs.thermal.items():
        units[name] = {"model": node.kind,
                       "outputs": [{"name": k, "value": v, "unit": "kW"} for k, v in res.outputs(name).items()]}
    kpis = [{"name": k, "value": v, "unit": KPI_UNITS.get(k, "")} for k, v in res.kpis.items()]
    return streams, units, kpis


def print_json(path: str, fs: Any, res: Any, out: TextIO) -> None:
    streams, units, kpis = report(fs, res)
    data = {
        "plant": str(path),
        "converged": bool(res.converged),
        "iterations": int(res.iterations),
        "residual": json_value(float(res.residual)),
        "stream_units": stream_units(fs),
        "streams": {n: {q: json_value(float(v)) for q, v in s.items()} for n, s in streams.items()},
        "units": {n: {"model": u["model"],
                      "outputs": [{**o, "value": json_value(float(o["value"]))} for o in u["outputs"]]}
                  for n, u in units.items()},
        "kpis": [{**k, "value": json_value(float(k["value"]))} for k in kpis],
        "flagged": {k: json_value(float(v)) for k, v in flagged(fs, res).items()},
        "valid": bool(res.valid),
        "water": {feed: {"class": cls, "inferred": inferred} for feed, (cls, inferred) in fs.water_classes().items()},
        "checks": [{"unit": f.unit, "check": f.check, "severity": f.severity, "value": json_value(f.value),
                    "limit": json_value(f.limit), "units": f.units, "message": f.message} for f in res.checks],
        "limits_changed": changed_limits(fs),
    }
    if fs.arrays:
        data["arrays"] = {n: {"model": a.model, "stages": [[v, e] for v, e in zip(a.vessels, a.elements)],
                              "element_area": a.element_area, "report": a.report,
                              "elements": [{k: json_value(float(v)) for k, v in r.items()}
                                           for r in res.elements(n)]}
                          for n, a in fs.arrays.items()}
    dump_json(data, out)


def _rows(rows: Sequence[Sequence[str]], out: TextIO, indent: str = "", unit_last: bool = False) -> None:
    """Rows of text cells: names left-aligned, values right-aligned, a last unit column left-aligned."""
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    for r in rows:
        cells = [r[0].ljust(widths[0])] + [c.rjust(w) for c, w in zip(r[1:], widths[1:])]
        if unit_last:
            cells[-1] = r[-1]
        print((indent + "  ".join(cells)).rstrip(), file=out)


def print_text(path: str, fs: Any, res: Any, out: TextIO) -> None:
    streams, units, kpis = report(fs, res)
    state = "converged" if res.converged else "NOT converged"
    print(f"{path}: {state} after {int(res.iterations)} tear iteration(s), "
          f"residual {format_value(float(res.residual))}", file=out)
    su = stream_units(fs)
    header = ["stream", *(f"{q} [{u}]" for q, u in su.items())]
    _rows([header] + [[n, *(format_value(float(s[q])) for q in su)] for n, s in streams.items()], out)
    for name, unit in units.items():
        print(f"\nunit {name} ({unit['model']})", file=out)
        _rows([[o["name"], format_value(float(o["value"])), o["unit"]] for o in unit["outputs"]], out, "  ", True)
    print("\nkey figures", file=out)
    _rows([[k["name"], format_value(float(k["value"])), k["unit"]] for k in kpis], out, "  ", True)
    for name, array in fs.arrays.items():
        stages = " + ".join(f"{v} x {e}" for v, e in zip(array.vessels, array.elements))
        print(f"\narray {name} ({array.model}; vessels x elements: {stages}; "
              f"{format_value(array.element_area)} m² per element)", file=out)
        for key, value in array.report.items():
            print(f"  {key} = {format_value(float(value))}", file=out)
        header, rows = projection(fs, res, name)
        _rows([header] + [[_cell(h, c) for h, c in zip(header, r)] for r in rows], out, "  ")
    marks = flagged(fs, res)
    if marks:
        print("\nflagged: " + ", ".join(f"{k} = {format_value(float(v))}" for k, v in marks.items()), file=out)
    print_checks(fs, res, out)


def print_checks(fs: Any, res: Any, out: TextIO) -> None:
    """The "design checks" section: the feeds' water classes, the limits changed, the findings."""
    print("\ndesign checks", file=out)
    for feed, (cls, inferred) in fs.water_classes().items():
        how = "inferred from its dissolved content" if inferred else "as given"
        print(f"  water class of {feed}: {cls} ({how})", file=out)
    for line in changed_limits(fs):
        print(f"  limit changed: {line}", file=out)
    if not res.checks:
        print("  no findings", file=out)
    for finding in res.checks:
        print(f"  {finding.severity}: {finding.message}", file=out)


def main(argv: Sequence[str], out: TextIO | None = None, err: TextIO | None = None,
         prog: str | None = None) -> int:
    out, err, prog = command_streams(out, err, prog, "flowsheet")
    usage = USAGE.format(prog=prog)
    try:
        if wants_help(argv):
            print(usage, file=out)
            return 0
        as_json = "--json" in argv
        check = "--check" in argv
        words = [w for w in argv if w not in ("--json", "--check")]
        units = "si"
        while "--units" in words:
            k = words.index("--units")
            units = words[k + 1] if k + 1 < len(words) else ""
            if units not in ("si", "engineering"):
                raise UsageError(f"--units takes si or engineering, got {units!r}")
            del words[k:k + 2]
        bad = [w for w in words if w.startswith("--")]
        if bad:
            raise UsageError(f"unknown option {bad[0]!r}; choose from: --json, --check, --units, --help")
        path, fs, values, res = solve_plant(words, usage)
        if units == "engineering" and not as_json:  # JSON keeps the exact values in SI
            from .presentation import print_engineering

            print_engineering(path, fs, res, out)
        else:
            (print_json if as_json else print_text)(path, fs, res, out)
        return ERROR_FINDING if check and not res.valid else 0
    except (UsageError, PlantFileError) as exc:
        return say_error("hydrokit flowsheet", exc, err)
