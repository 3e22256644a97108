"""How a flowsheet and its results look: one-line text, notebook HTML and the tables a printout
and the report show.

``Flowsheet`` and ``Result`` delegate their ``__repr__`` and ``_repr_html_`` here, so a notebook
shows a plant as its diagram and tables in engineering units, and a console shows one readable
line. Nothing here computes a figure: values are read from the result and converted for display
only (hydrokit.present.units).
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import TYPE_CHECKING

from ..ports import STREAM_UNITS
from ..present.html import Row, framed, table, wrap
from ..present.units import check_system, convert, human, wants_daily
from .columns import KPI_UNITS
from .readout import Plant as Flowsheet
from .readout import Solved as Result
from .readout import output_units, projection

if TYPE_CHECKING:
    from ..checks import Finding


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
    daily = daily_of(result)
    rows: list[Row] = []
    for key, value in result.kpis.items():
        v, u = convert(value, KPI_UNITS.get(key, ""), units, daily)
        rows.append([key, human(v) if units == "engineering" else repr(float(v)), u])
    return rows


def output_rows(result: Result, unit: str, units: str = "engineering") -> list[Row]:
    """Rows output, value, unit of a unit, a membrane array (its own figures; its elements are in
    ``projection_rows``) or a heater or cooler."""
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


def engineering_table(result: Result, quantities: Sequence[str],
                      units: str = "engineering") -> tuple[list[str], dict[str, dict[str, float]]]:
    """(headers, stream -> {header: value}) of a result's streams in the display system ``units``.

    Values are converted exactly and kept as numbers (no rounding: that is for printing)."""
    check_system(units)
    fs = result.flowsheet
    flows = [abs(result.stream(f)["flow"]) for f in fs.feeds]
    daily = wants_daily(max([f for f in flows if math.isfinite(f)], default=0.0))
    source = {q: STREAM_UNITS.get(q, STREAM_UNITS["component"]) for q in quantities}
    shown_units = {q: convert(1.0, u, units, daily)[1] for q, u in source.items()}
    headers = [f"{q} ({shown_units[q]})" for q in quantities]
    data: dict[str, dict[str, float]] = {}
    for name in fs.streams():
        values = result.stream(name)
        data[name] = {h: convert(values[q], source[q], units, daily)[0] for h, q in zip(headers, quantities)}
    return headers, data
