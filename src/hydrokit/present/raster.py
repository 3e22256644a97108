"""PNG and PDF of a diagram, drawn with matplotlib from the diagram's own SVG.

The diagram uses a small part of SVG: groups translated along x, rectangles,
circles, paths of straight, horizontal, vertical and cubic segments (with an
arrow head at the end where marked), and texts. Each is drawn here as the
matplotlib primitive of the same shape at the same place, one pixel of the
SVG one pixel of a 100 dpi figure.
"""

from __future__ import annotations

import math
import os
import re
import xml.etree.ElementTree as ET

import numpy as np

Point = tuple[float, float]

NS = "{http://www.w3.org/2000/svg}"
_TOKEN = re.compile(r"[MLCHVZhvLC]|-?\d+(?:\.\d+)?(?:e-?\d+)?")


def _path(d: str, dx: float) -> tuple[list[Point], list[np.uint8]]:
    """(vertices, codes, last two points) of an SVG path of the commands the diagram uses."""
    from matplotlib.path import Path

    tokens = _TOKEN.findall(d)
    verts: list[Point] = []
    codes: list[np.uint8] = []
    x = y = 0.0
    i, cmd = 0, None
    while i < len(tokens):
        t = tokens[i]
        if t.isalpha():
            cmd, i = t, i + 1
            if cmd == "Z":
                verts.append(verts[0] if verts else (x, y))
                codes.append(Path.CLOSEPOLY)
            continue

        def num(k: int) -> float:
            return float(tokens[i + k])
        if cmd == "M":
            x, y = num(0) + dx, num(1)
            verts.append((x, y))
            codes.append(Path.MOVETO)
            i += 2
        elif cmd == "L":
            x, y = num(0) + dx, num(1)
            verts.append((x, y))
            codes.append(Path.LINETO)
            i += 2
        elif cmd == "C":
            pts = [(num(0) + dx, num(1)), (num(2) + dx, num(3)), (num(4) + dx, num(5))]
            verts += pts
            codes += [Path.CURVE4] * 3
            x, y = pts[-1]
            i += 6
        elif cmd in ("h", "H"):
            x = x + num(0) if cmd == "h" else num(0) + dx
            verts.append((x, y))
            codes.append(Path.LINETO)
            i += 1
        elif cmd in ("v", "V"):
            y = y + num(0) if cmd == "v" else num(0)
            verts.append((x, y))
            codes.append(Path.LINETO)
            i += 1
        else:
            raise ValueError(f"unsupported path command {cmd!r}")
    return verts, codes


def _colour(value: str | None, default: str = "none") -> str:
    return default if value is None else value


def _attr(node: ET.Element, name: str) -> str:
    """An attribute the diagram always writes."""
    value = node.get(name)
    if value is None:
        raise ValueError(f"diagram <{node.tag}> has no {name}")
    return value


def render(svg: str, path: str | os.PathLike[str]) -> None:
    """Draw the diagram ``svg`` (text) into ``path`` (.png or .pdf) with matplotlib."""
    import matplotlib

    matplotlib.use("Agg", force=False)
    import matplotlib.pyplot as plt
    from matplotlib.patches import Circle, FancyBboxPatch, PathPatch, Polygon
    from matplotlib.path import Path

    root = ET.fromstring(svg)
    width, height = float(_attr(root, "width")), float(_attr(root, "height"))
    fig = plt.figure(figsize=(width / 100.0, height / 100.0), dpi=100)
    ax = fig.add_axes((0, 0, 1, 1))
    ax.set_xlim(0, width)
    ax.set_ylim(height, 0)
    ax.axis("off")
    pt = 72.0 / 100.0   # points per pixel at 100 dpi
    arrow: dict[str | None, str | None] = {}
    for marker in root.iter(f"{NS}marker"):
        shape = marker.find(f"{NS}path")
        arrow[marker.get("id")] = shape.get("fill") if shape is not None else "black"

    def walk(node: ET.Element, dx: float) -> None:
        for child in node:
            tag = child.tag.replace(NS, "")
            if tag == "g":
                move = re.match(r"translate\(([-\d.]+),", child.get("transform", ""))
                walk(child, dx + (float(move.group(1)) if move else 0.0))
            elif tag == "rect":
                if child.get("width", "").endswith("%"):
                    continue  # the white background
                x, y = float(child.get("x", 0)) + dx, float(child.get("y", 0))
                w, h = float(_attr(child, "width")), float(_attr(child, "height"))
                r = float(child.get("rx", 0))
                ax.add_patch(FancyBboxPatch((x, y), w, h, boxstyle=f"round,pad=0,rounding_size={r}",
                                            facecolor=_colour(child.get("fill")),
                                            edgecolor=_colour(child.get("stroke")),
                                            linewidth=float(child.get("stroke-width", 1)) * pt))
            elif tag == "circle":
                centre = (float(_attr(child, "cx")) + dx, float(_attr(child, "cy")))
                ax.add_patch(Circle(centre, float(_attr(child, "r")),
                                    facecolor=_colour(child.get("fill")), edgecolor=_colour(child.get("stroke")),
                                    linewidth=float(child.get("stroke-width", 1)) * pt))
            elif tag == "path":
                verts, codes = _path(_attr(child, "d"), dx)
                if not verts:
                    continue
                dash = child.get("stroke-dasharray")
                ax.add_patch(PathPatch(Path(verts, codes), facecolor=_colour(child.get("fill"), "none"),
                                       edgecolor=_colour(child.get("stroke")),
                                       linewidth=float(child.get("stroke-width", 1)) * pt,
                                       linestyle=(0, [float(v) * pt for v in dash.split()]) if dash else "-"))
                end = child.get("marker-end")
                if end and len(verts) >= 2:
                    colour = arrow.get(end[5:-1], "black")
                    (x0, y0), (x1, y1) = verts[-2], verts[-1]
                    a = math.atan2(y1 - y0, x1 - x0)
                    c, s = math.cos(a), math.sin(a)
                    tip = [(x1, y1), (x1 - 8 * c + 4 * s, y1 - 8 * s - 4 * c), (x1 - 8 * c - 4 * s, y1 - 8 * s + 4 * c)]
                    ax.add_patch(Polygon(tip, closed=True, facecolor=colour, edgecolor="none"))
            elif tag == "text":
                ax.text(float(_attr(child, "x")) + dx, float(_attr(child, "y")), child.text or "",
                        fontsize=float(child.get("font-size", 12)) * pt,
                        ha={"start": "left", "end": "right"}.get(child.get("text-anchor", ""), "center"),
                        va="baseline", color=_colour(child.get("fill"), "black"),
                        fontweight=child.get("font-weight", "normal"))

    walk(root, 0.0)
    fig.savefig(path, facecolor="white")
    plt.close(fig)
