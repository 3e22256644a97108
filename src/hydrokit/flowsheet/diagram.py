"""A flowsheet drawn as SVG by the package itself.

Layered left to right: feeds in the first column, products in the last,
every other node in the column after the longest forward path that reaches
it. Recycle streams (the tear streams of the plan, or any edge that closes a
cycle) are drawn as dashed back edges in lanes under the plant, so the flow
of the forward part reads left to right. Within a column, nodes are ordered
by the mean row of their neighbours (a few sweeps each way), which keeps
crossings few for the plants of 1 to 30 units this is meant for.
"""

from __future__ import annotations

import math
import os
from collections.abc import Sequence
from html import escape
from typing import Any, Protocol, cast

from ..present.units import convert, human, wants_daily
from .readout import Plant as Flowsheet
from .readout import Solved as Result

# (source, outlet port, target, inlet port)
Edge = tuple[str, str, str, str]
# A node of the drawing, or the waypoint ("~", edge index, column) of an edge crossing a column.
Place = str | tuple[str, int, int]


class _Plant(Protocol):
    # The flowsheet's node and link tables, which its public interface leaves out. Nodes are of several
    # classes (feed, unit, array, heater or cooler, mixer, splitter), each read for its kind's attributes.
    _nodes: dict[str, Any]
    _links: dict[tuple[str, str], tuple[str, str]]
    _products: dict[str, tuple[str, str]]


def _plant(fs: Flowsheet) -> _Plant:
    return cast("_Plant", fs)

COLUMN = 250       # px between column left edges: room for a three-line stream label
COLUMN_BARE = 180  # the same without labels
ROW = 96           # px between rows
BOX_W, BOX_H = 124, 46
SMALL = 11         # radius of a mixer or splitter node
MARGIN = 28
LANE = 26          # px between recycle lanes under the plant
WRAP_FROM = 9      # columns from which a long plant is drawn in bands, one under the other
BAND = 5           # columns per band
BAND_GAP = 56      # px between bands: the connectors from one band to the next run here

STAGE_LINE = 12    # px per stage line in an array's box
UNIT_KINDS = ("unit", "array", "heater", "cooler")   # drawn as labelled boxes

COLOURS = {"unit": "#eef4fb", "heater": "#fdeee6", "cooler": "#e6f2fd", "edge": "#35506b", "recycle": "#b35c00", "error": "#c62828",
           "warning": "#e08a00", "text": "#1b2631", "muted": "#5d6d7e"}


def _label(node: str, port: str) -> str:
    return f"{node}.{port}" if port else node


def graph(fs: Flowsheet) -> tuple[dict[str, str], list[Edge]]:
    """(nodes, edges): nodes name -> kind ("feed", "unit", "array", "heater", "cooler", "mixer", "splitter",
    "product"), in the order
    added; edges [(source, outlet port, target, inlet port)], products as edges into their own node."""
    plant = _plant(fs)
    nodes = {name: node.kind for name, node in plant._nodes.items()}
    edges = [(src, sport, dst, dport) for (dst, dport), (src, sport) in plant._links.items()]
    for name, (src, sport) in plant._products.items():
        key = name if name not in nodes else f"product {name}"
        nodes[key] = "product"
        edges.append((src, sport, key, ""))
    return nodes, edges


def _tear_edges(fs: Flowsheet, edges: Sequence[Edge]) -> set[int]:
    """Indices of the edges drawn as recycles: the plan's tear streams, then any edge still closing a cycle."""
    tears: set[str] = set()
    try:
        tears = set(fs.plan().tears)
    except Exception:  # an unfinished flowsheet still draws; its cycles are found below
        pass
    back = {i for i, (s, sp, d, dp) in enumerate(edges) if _label(s, sp) in tears}
    out: dict[str, list[tuple[str, int]]] = {}
    for i, (s, _, d, _) in enumerate(edges):
        if i not in back:
            out.setdefault(s, []).append((d, i))
    state: dict[str, int] = {}

    def visit(v: str) -> None:
        state[v] = 1
        for d, i in out.get(v, ()):
            if state.get(d) == 1:
                back.add(i)
            elif d not in state:
                visit(d)
        state[v] = 2

    starts = [s for s, _, _, _ in edges]
    for v in dict.fromkeys(starts):
        if v not in state:
            visit(v)
    return back


def layout(fs: Flowsheet) -> tuple[dict[str, str], list[Edge], set[int], dict[str, int], list[list[Place]],
                                   dict[int, list[Place]]]:
    """How a flowsheet's diagram is laid out: (nodes, edges, back edge indices, column of each node, the
    nodes and waypoints of each column in row order, each forward edge's chain of nodes and waypoints)."""
    nodes, edges = graph(fs)
    back = _tear_edges(fs, edges)
    forward = [e for i, e in enumerate(edges) if i not in back]
    preds: dict[str, list[str]] = {n: [] for n in nodes}
    for s, _, d, _ in forward:
        preds[d].append(s)
    column: dict[str, int] = {}

    def depth(n: str) -> int:
        if n not in column:
            column[n] = 0 if nodes[n] == "feed" else max((depth(p) + 1 for p in preds[n]), default=0)
        return column[n]

    for n in nodes:
        depth(n)
    # Products all in one column after the last unit.
    last = max((c for n, c in column.items() if nodes[n] != "product"), default=0) + 1
    for n, kind in nodes.items():
        if kind == "product":
            column[n] = last
    columns: list[list[Place]] = [[] for _ in range(max(column.values(), default=0) + 1)]
    for n in nodes:
        columns[column[n]].append(n)
    # An edge that spans several columns runs through a waypoint in each column it crosses, so it
    # is ordered with the nodes there and passes between them rather than through a box.
    neighbours: dict[Place, list[Place]] = {n: [] for n in nodes}
    chains: dict[int, list[Place]] = {}
    for i, (s, _, d, _) in enumerate(edges):
        if i in back:
            continue
        chain: list[Place] = [s]
        for c in range(column[s] + 1, column[d]):
            way: Place = ("~", i, c)
            columns[c].append(way)
            neighbours[way] = []
            chain.append(way)
        chain.append(d)
        chains[i] = chain
        for a_, b_ in zip(chain, chain[1:]):
            neighbours[a_].append(b_)
            neighbours[b_].append(a_)
    for sweep in range(4):
        order = range(1, len(columns)) if sweep % 2 == 0 else range(len(columns) - 2, -1, -1)
        for c in order:
            ref = columns[c - 1] if sweep % 2 == 0 else columns[c + 1]
            pos = {n: i for i, n in enumerate(ref)}

            def key(n: Place, pos: dict[Place, int] = pos, col: list[Place] = columns[c]) -> float:
                near = [pos[m] for m in neighbours[n] if m in pos]
                return sum(near) / len(near) if near else col.index(n)
            columns[c] = sorted(columns[c], key=key)
    return nodes, edges, back, column, columns, chains


def _findings(fs: Flowsheet, result: Result | None) -> dict[str, str]:
    """Unit -> worst severity ("error" or "warning") of its design findings and diagnostic flags."""
    marks: dict[str, str] = {}
    if result is None:
        return marks
    for f in getattr(result, "checks", ()) or ():
        unit = getattr(f, "unit", None)
        sev = "error" if getattr(f, "severity", "warning") == "error" else "warning"
        if unit is not None and marks.get(unit) != "error":
            marks[unit] = sev
    if getattr(result, "flagged", 0):
        from .readout import flagged

        for key in flagged(fs, result):
            unit = key.split(".", 1)[0]
            marks.setdefault(unit, "warning")
    return marks


def main_component(fs: Flowsheet) -> str | None:
    """The component a stream label shows: the one the feeds carry most of (the first on a tie)."""
    if not fs.components:
        return None
    feeds = [f for f in fs.feeds.values() if not f.utility] or list(fs.feeds.values())
    totals = {c: sum(abs(f.values.get(c, 0.0)) for f in feeds) for c in fs.components}
    return max(fs.components, key=lambda c: (totals[c], -fs.components.index(c)))


def stream_label(fs: Flowsheet, result: Result, stream: str, daily: bool = False,
                 component: str | None = None) -> list[str]:
    """Lines of text for a stream: flow, pressure and the main concentration in engineering units."""
    values = result.stream(stream)
    lines: list[str] = []
    q, u = convert(values["flow"], "m³/s", daily=daily)
    lines.append(f"{human(q)} {u}")
    lines.append(f"{human(values['pressure_bar'])} bar")
    if component is not None:
        c, cu = convert(values[component], "g/m³")
        lines.append(f"{component} {human(c)} {cu}")
    return lines


def node_subtitle(node: Any) -> str:
    """The second line of a unit's box: its model, or what a heater or cooler is set to."""
    if node.kind in ("heater", "cooler"):
        if node.setting == "outlet_temperature_c":
            return f"{node.kind} to {human(node.value)} °C"
        return f"{node.kind} {human(node.value)} kW"
    return str(node.model)


_subtitle = node_subtitle


def stage_lines(array: Any, result: Result | None = None) -> list[str]:
    """"stage k: vessels × elements" for each stage of an array (the vessels as solved, with a result)."""
    outputs: dict[str, float] = {}
    if result is not None:
        try:
            outputs = result.outputs(array.name)
        except Exception:  # a result without the array's outputs draws the counts as built
            outputs = {}
    lines: list[str] = []
    for k, (vessels, elements) in enumerate(zip(array.vessels, array.elements), 1):
        v = outputs.get(f"stage{k}.vessels", vessels)
        shown = str(int(v)) if math.isfinite(v) and v == int(v) else human(v)
        lines.append(f"stage {k}: {shown} × {elements}")
    return lines


def _text(x: float, y: float, s: object, size: float = 12, anchor: str = "middle", weight: str = "normal",
          fill: str | None = None, cls: str | None = None) -> str:
    extra = f' class="{cls}"' if cls else ""
    return (f'<text x="{x:.1f}" y="{y:.1f}" font-size="{size}" text-anchor="{anchor}" font-weight="{weight}" '
            f'fill="{fill or COLOURS["text"]}"{extra}>{escape(str(s))}</text>')


def diagram(fs: Flowsheet, result: Result | None = None, *, title: str | None = None) -> str:
    """The flowsheet as an SVG document (text).

    Parameters
    ----------
    fs : Flowsheet
    result : Result, optional
        With a result, every stream is labelled with its flow, pressure and
        main concentration in engineering units, and units with a finding
        (a design check or a set diagnostic flag) are outlined in colour.
    title : str, optional
        A caption above the drawing.
    """
    nodes, edges, back, column, columns, chains = layout(fs)
    plant = _plant(fs)

    def box_h(n: str) -> int:
        # An array's box holds a line per stage under its name and model.
        if nodes.get(n) == "array":
            return BOX_H + 4 + STAGE_LINE * len(plant._nodes[n].vessels)
        return BOX_H

    row = max([ROW] + [box_h(n) + 40 for n in nodes])   # room for the tallest box
    rows = max((len(c) for c in columns), default=1)
    pitch = COLUMN if result is not None else COLUMN_BARE
    height_nodes = rows * row
    top = MARGIN + (22 if title else 0) + 12  # (a recycle into the first band comes in over it)
    # A long plant reads in bands of BAND columns, each under the one before.
    per_band = len(columns) if len(columns) < WRAP_FROM else BAND
    bands = -(-len(columns) // per_band)
    pos: dict[Place, tuple[float, float]] = {}
    band: dict[Place, int] = {}
    for c, members in enumerate(columns):
        offset = (height_nodes - len(members) * row) / 2
        b = c // per_band
        for r, n in enumerate(members):
            pos[n] = (MARGIN + (c % per_band) * pitch + BOX_W / 2,
                      top + b * (height_nodes + BAND_GAP) + offset + r * row + row / 2)
            band[n] = b

    def gap_y(b: int) -> float:
        return top + (b + 1) * height_nodes + b * BAND_GAP + BAND_GAP / 2
    marks = _findings(fs, result)
    daily = False
    component = main_component(fs)
    if result is not None:
        flows = [abs(result.stream(f)["flow"]) for f in fs.feeds]
        daily = wants_daily(max([f for f in flows if math.isfinite(f)], default=0.0))

    def half_width(n: str) -> float:
        kind = nodes[n]
        if kind in UNIT_KINDS:
            return BOX_W / 2
        if kind in ("mixer", "splitter"):
            return SMALL
        return 6

    def port_y(n: str, port: str, side: str) -> float:
        # Spread a unit's outlets (or inlets) over its right (left) edge.
        node = plant._nodes.get(n)
        if node is None or nodes[n] not in UNIT_KINDS:
            return pos[n][1]
        ports: Sequence[str] = node.outlets if side == "out" else node.inlets
        if side == "out":
            # Outlets in the order of where they go, so their streams do not cross at the box.
            ahead = {e[1]: pos[chains[i][1]][1] for i, e in enumerate(edges) if e[0] == n and i in chains}
            ports = sorted(ports, key=lambda p: (ahead.get(p, math.inf), node.outlets.index(p)))
        if port not in ports or len(ports) == 1:
            return pos[n][1]
        k = ports.index(port)
        return pos[n][1] - box_h(n) / 2 + box_h(n) * (k + 1) / (len(ports) + 1)

    parts: list[str] = []
    labels: list[str] = []
    bottom = top + bands * height_nodes + (bands - 1) * BAND_GAP
    lane = 0
    y: float      # px, a recycle lane's or a node's height
    ly: float
    for i, (s, sp, d, dp) in enumerate(edges):
        x1, y1 = pos[s][0] + half_width(s), port_y(s, sp, "out")
        x2, y2 = pos[d][0] - half_width(d), port_y(d, dp, "in")
        stream = _label(s, sp)
        if i in back:
            lane += 1
            y = bottom + lane * LANE
            # Back under the plant; in a plant drawn in bands, up the left margin rather than through
            # the bands in between.
            if bands == 1:
                path = f"M{x1:.1f},{y1:.1f} h14 V{y:.1f} H{x2 - 14:.1f} V{y2:.1f} H{x2:.1f}"
            else:  # over the top of the target's band, and down into it
                xb = MARGIN - 30 - 6 * lane
                yt = top + band[d] * (height_nodes + BAND_GAP) - 4 - 4 * lane
                path = (f"M{x1:.1f},{y1:.1f} h14 V{y:.1f} H{xb:.1f} V{yt:.1f} H{x2 - 14:.1f} V{y2:.1f} "
                        f"H{x2:.1f}")
            parts.append(f'<path d="{path}" fill="none" stroke="{COLOURS["recycle"]}" stroke-width="1.6" '
                         f'stroke-dasharray="6 4" marker-end="url(#arrow-recycle)" class="recycle">'
                         f'<title>recycle: {escape(stream)} → {escape(_label(d, dp))}</title></path>')
            lx, ly = (x1 + x2) / 2, y - 5
            labels.append(_text(lx, ly, f"recycle {stream}", 10, fill=COLOURS["recycle"]))
            if result is not None:
                labels.append(_text(lx, y + 12, " · ".join(stream_label(fs, result, stream, daily, component)),
                                    10, fill=COLOURS["muted"]))
            continue
        points, bands_at = [(x1, y1)], [band[s]]
        for way in chains[i][1:-1]:
            points += [(pos[way][0] - BOX_W / 2, pos[way][1]), (pos[way][0] + BOX_W / 2, pos[way][1])]
            bands_at += [band[way], band[way]]
        points.append((x2, y2))
        bands_at.append(band[d])
        path = f"M{x1:.1f},{y1:.1f}"
        for k in range(1, len(points)):
            (ax, ay), (bx, by) = points[k - 1], points[k]
            if k % 2 == 0:   # straight through a waypoint's column
                path += f" L{bx:.1f},{by:.1f}"
            elif bands_at[k] != bands_at[k - 1]:
                # On to the next band: down the gap under this one, back to the left, into the target.
                gy = gap_y(bands_at[k - 1])
                path += f" H{ax + 16:.1f} V{gy:.1f} H{bx - 16:.1f} V{by:.1f} H{bx:.1f}"
            else:
                mx = (ax + bx) / 2
                path += f" C{mx:.1f},{ay:.1f} {mx:.1f},{by:.1f} {bx:.1f},{by:.1f}"
        lx1, ly1 = points[-2]   # where the last stretch into the target starts
        parts.append(f'<path d="{path}" fill="none" stroke="{COLOURS["edge"]}" stroke-width="1.4" '
                     f'marker-end="url(#arrow)" class="stream"><title>{escape(stream)} → '
                     f'{escape(_label(d, dp) if nodes[d] != "product" else "product " + d)}</title></path>')
        node = plant._nodes.get(s)
        if node is not None and len(node.outlets) > 1:
            # The port's name on the outer side of its stream: above one that rises, below one that falls.
            labels.append(_text(x1 + 3, y1 + (10 if points[1][1] > y1 else -3), sp, 8.5, anchor="start",
                                fill=COLOURS["muted"]))
        if result is not None:
            # Short lines by the arrow head, on the side the curve does not come from; next to the
            # source instead where several streams enter the same node.
            lines = stream_label(fs, result, stream, daily, component)
            target = plant._nodes.get(d)
            at_source = target is not None and len(target.inlets) > 1
            crossing = bands_at[-1] != bands_at[-2]
            if crossing:
                # Into the next band: labelled above where it leaves the band before.
                at_source, x1, y1 = True, lx1, ly1
            ax, ay = (x1 + 8, y1) if at_source else (x2 - 10, y2)
            anchor = "start" if at_source else "end"
            below = False if crossing else (points[1][1] > y1) if at_source else (ly1 < y2)
            for k, line in enumerate(lines):
                ly = ay + 14 + 11 * k if below else ay - 5 - 11 * (len(lines) - 1 - k)
                labels.append(_text(ax, ly, line, 9.5, anchor=anchor, fill=COLOURS["muted"], cls="value"))

    shapes: list[str] = []
    for n, kind in nodes.items():
        x, y = pos[n]
        if kind in UNIT_KINDS:
            mark = marks.get(n)
            stroke = COLOURS[mark] if mark else COLOURS["edge"]
            width = 2.6 if mark else 1.2
            h = box_h(n)
            subtitle = _subtitle(plant._nodes[n])
            shapes.append(f'<g class="{kind}" data-name="{escape(n)}"><title>{escape(n)}: {escape(subtitle)}'
                          f'{" (" + mark + ")" if mark else ""}</title>'
                          f'<rect x="{x - BOX_W / 2:.1f}" y="{y - h / 2:.1f}" width="{BOX_W}" height="{h}" '
                          f'rx="5" fill="{COLOURS.get(kind, COLOURS["unit"])}" stroke="{stroke}" '
                          f'stroke-width="{width}"/>')
            top_y = y - h / 2 + BOX_H / 2   # name and model where a plain unit has them
            shapes.append(_text(x, top_y - 3, n, 13, weight="bold"))
            shapes.append(_text(x, top_y + 13, subtitle, 10.5, fill=COLOURS["muted"]))
            if kind == "array":
                shapes.append(f'<path d="M{x - BOX_W / 2 + 6:.1f},{top_y + 19:.1f} h{BOX_W - 12}" '
                              f'stroke="{COLOURS["muted"]}" stroke-width="0.6"/>')
                for k, line in enumerate(stage_lines(plant._nodes[n], result)):
                    shapes.append(_text(x, top_y + 30 + STAGE_LINE * k, line, 10, cls="stage"))
            if mark:
                shapes.append(f'<circle cx="{x + BOX_W / 2 - 2:.1f}" cy="{y - h / 2 + 2:.1f}" r="8" '
                              f'fill="{COLOURS[mark]}"/>')
                shapes.append(_text(x + BOX_W / 2 - 2, y - h / 2 + 6, "!", 11, weight="bold", fill="#fff"))
            shapes.append("</g>")
        elif kind == "mixer":
            shapes.append(f'<g class="mixer" data-name="{escape(n)}"><title>mixer {escape(n)}</title>'
                          f'<circle cx="{x:.1f}" cy="{y:.1f}" r="{SMALL}" fill="#fff" stroke="{COLOURS["edge"]}" '
                          f'stroke-width="1.4"/>')
            shapes.append(f'<path d="M{x - 5:.1f},{y:.1f} h10 M{x:.1f},{y - 5:.1f} v10" stroke="{COLOURS["edge"]}"/>')
            shapes.append(_text(x, y + SMALL + 12, n, 10.5) + "</g>")
        elif kind == "splitter":
            shapes.append(f'<g class="splitter" data-name="{escape(n)}"><title>splitter {escape(n)}</title>'
                          f'<path d="M{x - SMALL:.1f},{y:.1f} L{x:.1f},{y - SMALL:.1f} L{x + SMALL:.1f},{y:.1f} '
                          f'L{x:.1f},{y + SMALL:.1f} Z" fill="#fff" stroke="{COLOURS["edge"]}" stroke-width="1.4"/>')
            shapes.append(_text(x, y + SMALL + 12, n, 10.5) + "</g>")
        elif kind == "feed":
            utility = plant._nodes[n].utility
            shapes.append(f'<g class="feed" data-name="{escape(n)}"><title>feed {escape(n)}</title>'
                          f'<path d="M{x - 6:.1f},{y - 9:.1f} L{x + 6:.1f},{y:.1f} L{x - 6:.1f},{y + 9:.1f} Z" '
                          f'fill="{COLOURS["edge"]}"/>')
            shapes.append(_text(x - 10, y + 4, n + (" (utility)" if utility else ""), 12, anchor="end",
                                weight="bold") + "</g>")
        else:  # a product
            name = n[len("product "):] if n.startswith("product ") else n
            shapes.append(f'<g class="product" data-name="{escape(name)}"><title>product {escape(name)}</title>'
                          f'<rect x="{x - 6:.1f}" y="{y - 9:.1f}" width="12" height="18" fill="{COLOURS["edge"]}"/>')
            shapes.append(_text(x + 10, y + 4, name, 12, anchor="start", weight="bold") + "</g>")

    # Feed names hang left of the first column and product names right of the last.
    left = max([len(n) + (10 if plant._nodes[n].utility else 0) for n, k in nodes.items() if k == "feed"] + [0]) \
        * 7.5 + 20
    right = max([len(n) for n, k in nodes.items() if k == "product"] + [0]) * 7.5 + 30
    # Room on the left for the feed names, and in bands for the connectors and recycle lanes.
    shift = max(left, BOX_W / 2 + 40 + 6 * lane if bands > 1 else 0.0)
    width = MARGIN * 2 + (per_band - 1) * pitch + BOX_W / 2 + shift + right
    height = bottom + lane * LANE + (30 if lane else 10) + MARGIN
    head = [f'<svg xmlns="http://www.w3.org/2000/svg" class="hydrokit-diagram" width="{width:.0f}" '
            f'height="{height:.0f}" viewBox="0 0 {width:.0f} {height:.0f}" '
            f'font-family="Helvetica, Arial, sans-serif" role="img">',
            '<defs><marker id="arrow" viewBox="0 0 10 10" refX="9" refY="5" markerWidth="7" markerHeight="7" '
            f'orient="auto-start-reverse"><path d="M0,0 L10,5 L0,10 z" fill="{COLOURS["edge"]}"/></marker>'
            '<marker id="arrow-recycle" viewBox="0 0 10 10" refX="9" refY="5" markerWidth="7" markerHeight="7" '
            f'orient="auto-start-reverse"><path d="M0,0 L10,5 L0,10 z" fill="{COLOURS["recycle"]}"/></marker></defs>',
            f'<rect width="100%" height="100%" fill="#ffffff"/>']
    if title:
        head.append(_text(MARGIN, MARGIN + 4, title, 15, anchor="start", weight="bold"))
    body = [f'<g transform="translate({shift - BOX_W / 2 + 10:.1f},0)">', *parts, *shapes, *labels, "</g>"]
    return "\n".join(head + body + ["</svg>"]) + "\n"


def save(svg: str, path: str | os.PathLike[str]) -> str:
    """Write a diagram to ``path``: ``.svg`` as it is, ``.png`` or ``.pdf`` drawn with matplotlib.

    Raises ValueError for another extension and ImportError for PNG or PDF without matplotlib."""
    path = str(path)
    ext = path.rsplit(".", 1)[-1].lower() if "." in path else ""
    if ext == "svg":
        with open(path, "w", encoding="utf-8") as f:
            f.write(svg)
        return path
    if ext not in ("png", "pdf"):
        raise ValueError(f"cannot write a diagram as {path!r}: give a .svg, .png or .pdf file")
    from ..present.raster import render

    render(svg, path)
    return path
