"""HTML and one-line text views of flowsheets, results, costs, optimisations and layouts.

Each object's ``_repr_html_`` and ``__repr__`` delegate here, so a notebook
shows a plant as its diagram and tables in engineering units, and a console
shows one readable line. Nothing here computes a figure: values are read
from the objects and converted for display only (hydrokit.display.units).
"""

from __future__ import annotations

import math
from collections.abc import Iterable, Mapping, Sequence
from html import escape
from typing import TYPE_CHECKING

from .units import convert, human, wants_daily

if TYPE_CHECKING:
    from ..checks import Finding
    from ..costing import Costs
    from ..flowsheet import Flowsheet, Result
    from ..layout import Layout
    from ..optimize import OptimizeResult

Row = list[str]

STYLE = """
.hk{font-family:Helvetica,Arial,sans-serif;color:#1b2631;font-size:13px}
.hk table{border-collapse:collapse;margin:6px 0 14px}
.hk th,.hk td{border-bottom:1px solid #d5dbe1;padding:3px 9px;text-align:right;white-space:nowrap}
.hk th{background:#eef2f6;font-weight:600}
.hk th:first-child,.hk td:first-child{text-align:left}
.hk td.unit{text-align:left;color:#5d6d7e}
.hk .error{color:#c62828;font-weight:600}.hk .warning{color:#a35f00;font-weight:600}
.hk .ok{color:#1e7d32}
.hk svg{max-width:100%;height:auto}
.hk .diagram{overflow-x:auto}.hk .diagram svg{max-width:none}
@media print{.hk .diagram svg{max-width:100%}}
.hk h3{margin:10px 0 4px;font-size:15px}
"""


def _cell(text: object, cls: str | None = None) -> str:
    return f'<td class="{cls}">{escape(str(text))}</td>' if cls else f"<td>{escape(str(text))}</td>"


def table(headers: Iterable[object], rows: Iterable[Iterable[object]], classes: Mapping[int, str] | None = None) -> str:
    """An HTML table: header texts and rows of cells (already text); ``classes[i]`` styles row i."""
    head = "".join(f"<th>{escape(str(h))}</th>" for h in headers)
    body = []
    for i, row in enumerate(rows):
        cls = (classes or {}).get(i) if isinstance(classes, dict) else None
        cells = "".join(_cell(c) for c in row)
        body.append(f'<tr class="{cls}">{cells}</tr>' if cls else f"<tr>{cells}</tr>")
    return f"<table><thead><tr>{head}</tr></thead><tbody>{''.join(body)}</tbody></table>"


def framed(svg: str) -> str:
    """A diagram at its own size, scrolled sideways where it is wider than the page (a long plant)."""
    return f'<div class="diagram">{svg}</div>'


def wrap(inner: str) -> str:
    return f'<div class="hk"><style>{STYLE}</style>{inner}</div>'


# -- findings -------------------------------------------------------------------------------------

def findings(result: Result) -> list[Finding]:
    """The design findings of a result, errors first (an empty list where checks are not available)."""
    found: list[Finding] = list(getattr(result, "checks", ()) or ())
    return sorted(found, key=lambda f: 0 if getattr(f, "severity", "") == "error" else 1)


def counts(result: Result) -> tuple[int, int]:
    found = findings(result)
    errors = sum(1 for f in found if getattr(f, "severity", "") == "error")
    return errors, len(found) - errors


def findings_html(result: Result) -> str:
    found = findings(result)
    if not found:
        return ""
    rows: list[Row] = []
    classes: dict[int, str] = {}
    for i, f in enumerate(found):
        sev = getattr(f, "severity", "warning")
        value, limit, units = getattr(f, "value", None), getattr(f, "limit", None), getattr(f, "units", "") or ""
        rows.append([sev, getattr(f, "unit", ""), getattr(f, "check", ""),
                     "" if value is None else f"{human(value)} {units}".strip(),
                     "" if limit is None else f"{human(limit)} {units}".strip(), getattr(f, "message", "")])
        classes[i] = "error" if sev == "error" else "warning"
    return "<h3>Design checks</h3>" + table(["severity", "unit", "check", "value", "limit", "message"], rows, classes)


# -- streams, outputs and key figures ------------------------------------------------------------

def daily_of(result: Result) -> bool:
    fs = result.flowsheet
    flows = [abs(result.stream(f)["flow"]) for f in fs.feeds]
    return wants_daily(max([f for f in flows if math.isfinite(f)], default=0.0))


def stream_rows(result: Result, units: str = "engineering") -> tuple[Row, list[Row]]:
    """(headers, rows) of the stream table in the display system ``units``."""
    fs = result.flowsheet
    daily = daily_of(result)
    quantities = [("flow", "m³/s"), ("temperature_c", "°C"), ("pressure_bar", "bar")] + \
                 [(c, "g/m³") for c in fs.components]
    headers = ["stream"]
    for q, unit in quantities:
        short = {"temperature_c": "temperature", "pressure_bar": "pressure"}.get(q, q)
        headers.append(f"{short} ({convert(1.0, unit, units, daily)[1]})" if units == "engineering"
                       else f"{q} ({unit})")
    rows: list[Row] = []
    for name in fs.streams():
        values = result.stream(name)
        row = [name]
        for q, unit in quantities:
            v, _ = convert(values[q], unit, units, daily)
            row.append(human(v) if units == "engineering" else repr(float(v)))
        rows.append(row)
    return headers, rows


def kpi_rows(result: Result, units: str = "engineering") -> list[Row]:
    from ..flowsheet.results import KPI_UNITS

    daily = daily_of(result)
    rows: list[Row] = []
    for key, value in result.kpis.items():
        v, u = convert(value, KPI_UNITS.get(key, ""), units, daily)
        rows.append([key, human(v) if units == "engineering" else repr(float(v)), u])
    return rows


def output_rows(result: Result, unit: str, units: str = "engineering") -> list[Row]:
    """Rows output, value, unit of a unit, a membrane array (its own figures; its elements are in
    ``projection_rows``) or a heater or cooler."""
    from ..flowsheet.readout import output_units
    from .columns import ELEMENT_COLUMN as _ELEMENT
    from .columns import array_output_unit

    fs = result.flowsheet
    outputs = result.outputs(unit)
    if unit in fs.units:
        slot_units = output_units(fs.units[unit].model)
    elif unit in getattr(fs, "arrays", {}):
        element_units = output_units(fs.arrays[unit].model)
        outputs = {k: v for k, v in outputs.items() if not _ELEMENT.search(k)}
        slot_units = {k: array_output_unit(k, element_units, fs.components) for k in outputs}
    else:
        slot_units = {"duty_kw": "kW"}
    rows: list[Row] = []
    for name, value in outputs.items():
        v, u = convert(value, slot_units.get(name, ""), units)
        if u in ("count", "flag", "code") and v == int(v):
            text = str(int(v))   # counts, flags and status codes are whole numbers
        else:
            text = human(v) if units == "engineering" else repr(float(v))
        rows.append([name, text, u])
    return rows


def projection_rows(result: Result, array: str, units: str = "engineering") -> tuple[Row, list[Row]]:
    """(headers, rows) of an array's element projection: per element of each stage's representative
    vessel, its feed, permeate, recovery, flux and polarisation, in the display system ``units``."""
    from ..flowsheet.readout import projection

    header, numbers = projection(result.flowsheet, result, array)
    elements = result.elements(array)
    headers: Row = []
    columns: list[tuple[int, str | None, str]] = []
    for i, h in enumerate(header):
        label, _, rest = h.partition(" [")
        unit = rest.rstrip("]")
        source: str | None
        if h in ("stage", "element"):
            source = None
        elif unit == "m³/h":    # the element's own flows, m³/s, rather than the table's m³/h
            source = "m³/s"
        else:
            source = unit or {"recovery": "fraction", "polarisation": "—"}.get(label, "")
        shown = convert(1.0, source, units)[1] if source else ""
        headers.append(f"{label} ({shown})" if shown else label)
        columns.append((i, source, label))
    rows: list[Row] = []
    for r, row in zip(elements, numbers):
        cells = []
        for i, source, label in columns:
            if source is None:
                cells.append(str(int(row[i])))
                continue
            value = row[i]
            if source == "m³/s":
                value = r["feed_flow"] if label == "feed" else r["permeate_flow"]
            v, _ = convert(value, source, units)
            cells.append(human(v) if units == "engineering" else repr(float(v)))
        rows.append(cells)
    return headers, rows


def plant_units(fs: Flowsheet) -> dict[str, tuple[str, str]]:
    """Name -> (kind, what it is) of every unit of a flowsheet: model units, membrane arrays
    (with their stages), heaters and coolers."""
    from .diagram import node_subtitle as _subtitle

    out: dict[str, tuple[str, str]] = {n: ("unit", u.model) for n, u in fs.units.items()}
    for n, a in getattr(fs, "arrays", {}).items():
        stages = ", ".join(f"{v} × {e}" for v, e in zip(a.vessels, a.elements))
        out[n] = ("array", f"{a.model} array, vessels × elements {stages}")
    for n, t in getattr(fs, "thermal", {}).items():
        out[n] = (t.kind, _subtitle(t))
    return out


# -- the objects' views ----------------------------------------------------------------------------

def flowsheet_repr(fs: Flowsheet) -> str:
    every = plant_units(fs)
    units = ", ".join(f"{n}: {what}" for n, (_, what) in every.items()) or "no units"
    comps = ", ".join(fs.components) or "none"
    extra = [f"{len(fs.feeds)} feed(s)", f"{len(fs.products)} product(s)"]
    # Mixers and splitters are not among the flowsheet's public collections.
    nodes = fs._nodes  # type: ignore[attr-defined]
    others = sum(1 for node in nodes.values() if node.kind in ("mixer", "splitter"))
    if others:
        extra.append(f"{others} mixer/splitter node(s)")
    return f"<Flowsheet {len(every)} unit(s) ({units}); components: {comps}; {', '.join(extra)}>"


def flowsheet_html(fs: Flowsheet) -> str:
    from .diagram import diagram

    rows = [[n, u.model, ", ".join(f"{k}={human(v)}" for k, v in u.settings.items())] for n, u in fs.units.items()]
    rows += [[n, what, ""] for n, (kind, what) in plant_units(fs).items() if kind != "unit"]
    return wrap(framed(diagram(fs)) + table(["unit", "model", "settings"], rows))


def result_repr(result: Result) -> str:
    errors, warnings = counts(result)
    state = "converged" if result.converged else "NOT converged"
    checks = f", {errors} error(s), {warnings} warning(s)" if hasattr(result, "checks") else ""
    return (f"<flowsheet result: {state} in {result.iterations} iteration(s), residual {result.residual:.3g}, "
            f"flagged {result.flagged}{checks}; {len(result.flowsheet.streams())} streams>")


def status_html(result: Result) -> str:
    errors, warnings = counts(result)
    parts = [f'<span class="{"ok" if result.converged else "error"}">'
             f'{"converged" if result.converged else "NOT converged"}</span> in {result.iterations} iteration(s)',
             f'<span class="{"ok" if not result.flagged else "warning"}">{result.flagged} flagged unit(s)</span>']
    if hasattr(result, "checks"):
        parts.append(f'<span class="{"error" if errors else "ok"}">{errors} error(s)</span>, '
                     f'<span class="{"warning" if warnings else "ok"}">{warnings} warning(s)</span>')
    return "<p>" + " · ".join(parts) + "</p>"


def result_html(result: Result) -> str:
    from .diagram import diagram

    headers, rows = stream_rows(result)
    return wrap(status_html(result) + findings_html(result) + framed(diagram(result.flowsheet, result)) +
                "<h3>Streams</h3>" + table(headers, rows) +
                "<h3>Key figures</h3>" + table(["figure", "value", "unit"], kpi_rows(result)))


def costs_repr(c: Costs) -> str:
    return (f"<Costs LCOW {human(c.lcow)} $/m³, SEC {human(c.sec)} kWh/m³, capital {human(c.capital_total)} $, "
            f"operating {human(c.operating_total)} $/year>")


def cost_rows(c: Costs, kinds: Mapping[str, str] | None = None) -> list[Row]:
    """Rows unit, class, capital, operating, LCOW, SEC and the total row; ``kinds`` (name -> "array",
    "heater", ...) names the class of what has no cost class of its own."""
    kinds = kinds or {}
    rows = [[unit, c.classes.get(unit, kinds.get(unit, "")), human(s["capital"]), human(s["operating"]), human(s["lcow"]),
             human(s["sec"])] for unit, s in c.by_unit.items()]
    rows.append(["total", "", human(c.capital_total), human(c.operating_total), human(c.lcow), human(c.sec)])
    return rows


COST_HEADERS = ["unit", "class", "capital ($)", "operating ($/year)", "LCOW ($/m³)", "SEC (kWh/m³)"]


def costs_html(c: Costs) -> str:
    lines = [[name, human(value), unit] for name, value, unit in c.lines()]
    return wrap("<h3>Cost by unit</h3>" + table(COST_HEADERS, cost_rows(c)) +
                "<h3>Cost lines</h3>" + table(["line", "value", "unit"], lines))


def optimize_html(r: OptimizeResult, wrapped: bool = True) -> str:
    rows = [[k, human(v)] for k, v in r.x.items()]
    cons = [[k, human(v)] for k, v in r.constraints.items()]
    head = (f'<p>objective <b>{human(r.objective)}</b>, '
            f'<span class="{"ok" if r.feasible else "error"}">{"feasible" if r.feasible else "NOT feasible"}</span>, '
            f"{r.evaluations} evaluations in {r.seconds:.3g} s</p>")
    body = head + "<h3>Optimum</h3>" + table(["varied", "value"], rows)
    if cons:
        body += "<h3>Constraints at the optimum</h3>" + table(["constraint", "value"], cons)
    return wrap(body) if wrapped else body


def layout_html(lay: Layout) -> str:
    rows: list[list[object]] = []
    for vector, slots in (("u", lay.inputs), ("p", lay.params), ("y", lay.output_slots_default)):
        rows += [[vector, s.index, s.name, s.unit] for s in slots]
    return wrap(f"<h3>{escape(lay.model)}</h3><p>{escape(lay.description)}</p>" +
                table(["vector", "index", "name", "unit"], rows))
