"""HTML building blocks of the notebook views and the report: one style sheet, tables, frames.

Cells are given as text (already converted and rounded by the caller) and escaped here.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from html import escape

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
