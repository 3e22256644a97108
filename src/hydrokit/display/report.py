"""A design report: one self-contained, printable HTML page of a solved plant.

Everything is inline (CSS, SVG diagram and charts); the page fetches nothing.
Sections: title and design basis (feeds and their water class), design
checks (errors first), the diagram with stream values, the stream table in
engineering units, key figures, cost and energy by unit with a bar chart,
every unit's outputs, element projections where the result has them, and
optionally an optimisation with LCOW along each varied slot.
"""

from __future__ import annotations

import datetime
import math
from collections.abc import Callable, Mapping, Sequence
from html import escape
from typing import TYPE_CHECKING

from .html import (COST_HEADERS, STYLE, cost_rows, findings_html, framed, kpi_rows, output_rows, plant_units,
                   projection_rows, status_html, stream_rows, table)
from .units import convert, human

if TYPE_CHECKING:
    from ..flowsheet import Flowsheet, Result
    from ..optimize import OptimizeResult

PAGE_STYLE = """
body{margin:24px auto;max-width:1180px;padding:0 16px;background:#fff}
h1{font-size:22px;margin:0 0 4px}h2{font-size:17px;margin:22px 0 6px;border-bottom:2px solid #35506b;
padding-bottom:3px}
.meta{color:#5d6d7e;font-size:12px}
.units{display:flex;flex-wrap:wrap;gap:10px 28px}
body.hk .diagram svg{max-width:100%}
.units>div{break-inside:avoid}
@media print{body{margin:0;max-width:none}h2{break-after:avoid}table,svg{break-inside:avoid}}
"""

def water_class(fs: Flowsheet, name: str, component: str | None) -> str:
    """A feed's water class as the design checks judge it (given, or inferred from what it carries
    dissolved), with its main component's concentration."""
    feed = fs.feeds[name]
    if feed.utility:
        return "utility loop (not counted as feed)"
    water, inferred = fs.water_classes()[name]
    label = f"{water} (inferred)" if inferred else water
    if component is None:
        return label
    return f"{label}, {component} {human(feed.values.get(component, 0.0))} mg/L"


def bar_chart(values: Mapping[str, float], unit: str, title: str) -> str:
    """A horizontal bar chart (SVG) of name -> value, negative bars to the left of zero."""
    items = [(k, v) for k, v in values.items() if math.isfinite(v)]
    if not items:
        return ""
    lo = min(0.0, min(v for _, v in items))
    hi = max(0.0, max(v for _, v in items))
    span = (hi - lo) or 1.0
    left, width, row = 110, 420, 24
    height = row * len(items) + 40
    zero = left + (0.0 - lo) / span * width
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" class="chart" width="{left + width + 110}" height="{height}" '
           f'font-family="Helvetica, Arial, sans-serif" font-size="12">',
           f'<text x="0" y="14" font-weight="bold">{escape(title)} ({escape(unit)})</text>']
    for i, (name, v) in enumerate(items):
        y = 24 + i * row
        x0 = zero if v >= 0 else zero + v / span * width
        w = abs(v) / span * width
        colour = "#35506b" if v >= 0 else "#1e7d32"
        out.append(f'<text x="{left - 8}" y="{y + 14}" text-anchor="end">{escape(name)}</text>')
        out.append(f'<rect x="{x0:.1f}" y="{y + 3}" width="{max(w, 0.5):.1f}" height="{row - 8}" fill="{colour}"/>')
        # Values right of their bar, or right of zero for a negative one (names are on the left).
        tx = (x0 + w + 4) if v >= 0 else (zero + 4)
        out.append(f'<text x="{tx:.1f}" y="{y + 14}">{human(v)}</text>')
    out.append(f'<line x1="{zero:.1f}" y1="20" x2="{zero:.1f}" y2="{height - 12}" stroke="#5d6d7e"/>')
    out.append("</svg>")
    return "".join(out)


def line_plot(xs: Sequence[float], ys: Sequence[float], xlabel: str, ylabel: str,
              mark: tuple[float, float] | None = None) -> str:
    """A small line plot (SVG) of ys against xs, the optimum marked."""
    pts = [(x, y) for x, y in zip(xs, ys) if math.isfinite(x) and math.isfinite(y)]
    if len(pts) < 2:
        return ""
    w, h, l, b = 380, 220, 60, 36
    x0, x1 = min(p[0] for p in pts), max(p[0] for p in pts)
    y0, y1 = min(p[1] for p in pts), max(p[1] for p in pts)
    if y1 == y0:
        y0, y1 = y0 - 1, y1 + 1

    def sx(x: float) -> float:
        return l + (x - x0) / ((x1 - x0) or 1.0) * (w - l - 10)

    def sy(y: float) -> float:
        return h - b - (y - y0) / (y1 - y0) * (h - b - 14)

    path = " ".join(f"{'M' if i == 0 else 'L'}{sx(x):.1f},{sy(y):.1f}" for i, (x, y) in enumerate(pts))
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" class="chart" width="{w}" height="{h}" '
           f'font-family="Helvetica, Arial, sans-serif" font-size="11">',
           f'<rect x="{l}" y="14" width="{w - l - 10}" height="{h - b - 14}" fill="none" stroke="#c0c8d0"/>',
           f'<path d="{path}" fill="none" stroke="#35506b" stroke-width="1.8"/>',
           f'<text x="{(w + l) / 2:.0f}" y="{h - 4}" text-anchor="middle">{escape(xlabel)}</text>',
           f'<text x="12" y="{(h - b) / 2:.0f}" transform="rotate(-90 12 {(h - b) / 2:.0f})" '
           f'text-anchor="middle">{escape(ylabel)}</text>',
           f'<text x="{l - 4}" y="{sy(y0) + 4:.1f}" text-anchor="end">{human(y0)}</text>',
           f'<text x="{l - 4}" y="{sy(y1) + 4:.1f}" text-anchor="end">{human(y1)}</text>',
           f'<text x="{l}" y="{h - b + 14}" text-anchor="middle">{human(x0)}</text>',
           f'<text x="{w - 10}" y="{h - b + 14}" text-anchor="middle">{human(x1)}</text>']
    if mark is not None and all(math.isfinite(v) for v in mark):
        out.append(f'<circle cx="{sx(mark[0]):.1f}" cy="{sy(mark[1]):.1f}" r="4.5" fill="#c62828"/>')
    out.append("</svg>")
    return "".join(out)


def optimisation_section(fs: Flowsheet, best: OptimizeResult, names: Mapping[str, tuple[float, float]],
                         values_at: Callable[[str, list[float]], Sequence[float]]) -> str:
    """The optimum and LCOW along each varied slot (the others held at the optimum)."""
    from .html import optimize_html

    body = optimize_html(best, wrapped=False)   # the page has the style already
    plots: list[str] = []
    for name, (lo, hi) in names.items():
        xs = [lo + (hi - lo) * k / 30 for k in range(31)]
        ys = values_at(name, xs)
        plots.append(line_plot(xs, ys, name, "LCOW ($/m³)", (best.x[name], best.row.get("cost.lcow", math.nan))))
    return body + "<h3>LCOW along each varied slot, the others at the optimum</h3>" + "".join(plots)


def report(fs: Flowsheet, result: Result, *, title: str = "", source: str = "", optimisation: str = "",
           overrides: Mapping[str, float] | None = None, units: str = "engineering") -> str:
    """The report page (HTML text) of a solved plant; ``units="si"`` shows the tables in the models'
    own units with every digit."""
    from .diagram import diagram, main_component

    component = main_component(fs)
    parts = [f"<h1>{escape(title or 'Plant design report')}</h1>",
             '<p class="meta">' + " · ".join([*([escape(source)] if source else []), "hydrokit",
                                              datetime.datetime.now(datetime.timezone.utc).strftime(
                                                  "%Y-%m-%d %H:%M UTC")]) + "</p>"]
    basis: list[list[str]] = []
    for name, feed in fs.feeds.items():
        q, qu = convert(feed.values["flow"], "m³/s")
        basis.append([name, f"{human(q)} {qu}", f"{human(feed.values['temperature_c'])} °C",
                      f"{human(feed.values['pressure_bar'])} bar", water_class(fs, name, component)])
    parts.append("<h2>Design basis</h2>" + table(["feed", "flow", "temperature", "pressure", "water class"], basis))
    if overrides:
        parts.append(table(["set for this run", "value"], [[k, human(v)] for k, v in overrides.items()]))
    parts.append(status_html(result))
    checks = findings_html(result)
    if checks:
        parts.append("<h2>Design checks</h2>" + checks.replace("<h3>Design checks</h3>", ""))
    parts.append("<h2>Flowsheet</h2>" + framed(diagram(fs, result)))
    headers, rows = stream_rows(result, units)
    parts.append("<h2>Streams</h2>" + table(headers, rows))
    parts.append("<h2>Key figures</h2>" + table(["figure", "value", "unit"], kpi_rows(result, units)))
    try:
        c = result.costs()
    except (ValueError, TypeError) as exc:
        parts.append(f"<h2>Cost</h2><p>not priced: {escape(str(exc))}</p>")
    else:
        parts.append("<h2>Cost and energy by unit</h2>" + table(COST_HEADERS, cost_rows(c, {n: k for n, (k, _) in plant_units(fs).items()})) +
                     '<div class="units">' +
                     bar_chart({u: s["lcow"] for u, s in c.by_unit.items()}, "$/m³", "LCOW by unit") +
                     bar_chart({u: s["sec"] for u, s in c.by_unit.items()}, "kWh/m³", "SEC by unit") + "</div>")
    blocks: list[str] = []
    for name, (kind, what) in plant_units(fs).items():
        block = f"<div><h3>{escape(name)} ({escape(what)})</h3>" + \
            table(["output", "value", "unit"], output_rows(result, name, units))
        blocks.append(block + "</div>")
    parts.append('<h2>Unit outputs</h2><div class="units">' + "".join(blocks) + "</div>")
    for name in getattr(fs, "arrays", {}):
        headers, rows = projection_rows(result, name, units)
        parts.append(f"<h2>Element projection of {escape(name)}</h2>"
                     "<p>Per element of each stage's representative vessel.</p>" + table(headers, rows))
    if optimisation:
        parts.append("<h2>Optimisation</h2>" + optimisation)
    return ("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
            f"<title>{escape(title or 'Plant design report')}</title>"
            f"<style>{STYLE}{PAGE_STYLE}</style></head>"
            f'<body class="hk">{"".join(parts)}</body></html>\n')
