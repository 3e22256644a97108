"""``python -m hydrokit plot``: chosen outputs of a model against one swept slot.

    python -m hydrokit plot osmomech feed_pressure_bar=10:80:71 recovery=0.5 \\
        --y flux,membrane_area --out pressure.png

One ``name=START:STOP[:COUNT]`` sweeps that input or parameter over COUNT
evenly spaced values (default 50); other ``name=value`` words fix slots; every
other slot keeps its default. Each output of ``--y`` gets its own panel (at
most 12), all sharing the swept axis, labelled with names and units. The
picture is drawn with matplotlib's Agg renderer in the format its file's
extension names, written to exactly that path, and the path is printed.
"""

from __future__ import annotations

import io
import math
import os
from collections.abc import Sequence
from typing import Any, TextIO

from ..layout import did_you_mean, format_value, layout, models, unknown_model
from .common import UsageError, streams, claim_slot, number, option_value, say_error, wants_help

USAGE = ("usage: python -m hydrokit plot MODEL AXIS=START:STOP[:COUNT] [name=value ...] "
         "--y OUT1[,OUT2 ...] --out FILE.png")




def usage(prog: str = "python -m hydrokit plot") -> str:
    """The usage line, naming the program as it was invoked."""
    return USAGE.replace("python -m hydrokit plot", prog, 1)


DEFAULT_COUNT = 50
MAX_COUNT = 100_000
# Each panel is 2.4 inches of picture and a sweep's worth of drawing: beyond a
# dozen the panels are unreadable and the picture grows without bound.
MAX_PANELS = 12


def _axis(name: str, text: str) -> tuple[float, float, int]:
    parts = text.split(":")
    if len(parts) not in (2, 3):
        raise UsageError(f"sweep {name}={text} must be START:STOP or START:STOP:COUNT")
    start = number(parts[0], f"start of {name}")
    stop = number(parts[1], f"stop of {name}")
    if not (math.isfinite(start) and math.isfinite(stop) and math.isfinite(stop - start)):
        raise UsageError(f"sweep {name}={text} needs finite START and STOP (and a finite STOP - START)")
    if start == stop:
        raise UsageError(f"sweep {name}={text} needs START and STOP to differ")
    count = DEFAULT_COUNT
    if len(parts) == 3:
        try:
            count = int(parts[2])
        except ValueError:
            raise UsageError(f"COUNT {parts[2]!r} of {name} is not a whole number") from None
        if not 2 <= count <= MAX_COUNT:
            raise UsageError(f"COUNT of {name} must be from 2 to {MAX_COUNT}, got {count}")
    return start, stop, count


def parse(argv: Sequence[str]) -> tuple[str, str, tuple[float, float, int], dict[str, float], list[str], str]:
    """(model, axis name, (start, stop, count), fixed values, outputs, file)."""
    words, outputs, out = [], None, None
    i = 0
    while i < len(argv):
        word = argv[i]
        option = word.partition("=")[0]
        if option in ("--y", "--out"):
            value, i = option_value(argv, i)
            if option == "--y":
                outputs = [name for name in value.split(",") if name]
            else:
                out = value
        elif word.startswith("-"):
            raise UsageError(f"unknown option {word!r}; choose from: --y, --out, --help")
        else:
            words.append(word)
        i += 1

    if not words:
        raise UsageError("name a model; " + USAGE)
    model, assignments = words[0], words[1:]
    if model not in models():
        raise UsageError(unknown_model(model))
    lay = layout(model)

    axis: tuple[str, tuple[float, float, int]] | None = None
    fixed: dict[str, float] = {}
    seen: dict[tuple[str, int], str] = {}
    for word in assignments:
        name, eq, text = word.partition("=")
        if not eq or not name:
            raise UsageError(f"expected name=value or name=START:STOP[:COUNT], got {word!r}")
        claim_slot(lay, name, seen)
        if ":" in text:
            if axis is not None:
                raise UsageError(f"only one slot can be swept; {axis[0]} and {name} both are")
            axis = (name, _axis(name, text))
        else:
            fixed[name] = number(text, f"value of {name}")
    if axis is None:
        raise UsageError("sweep one slot with name=START:STOP[:COUNT]")
    if not outputs:
        raise UsageError("choose outputs with --y OUT1[,OUT2 ...]")
    if len(outputs) > MAX_PANELS:
        raise UsageError(f"--y names {len(outputs)} outputs; at most {MAX_PANELS} panels fit one picture")
    twice = next((name for i, name in enumerate(outputs) if name in outputs[:i]), None)
    if twice is not None:
        raise UsageError(f"output {twice} is given twice in --y")
    if not out:
        raise UsageError("name the picture with --out FILE.png")
    picture_format(out)
    return model, axis[0], axis[1], fixed, outputs, out


def picture_format(path: str) -> str:
    """The format named by the extension of ``path`` (lower case), checked before anything is drawn."""
    if os.path.isdir(path):
        raise UsageError(f"--out {path} is a directory; name the picture file, e.g. {os.path.join(path, 'plot.png')}")
    parent = os.path.dirname(path) or "."
    if not os.path.isdir(parent):  # found before the points are computed, not after
        raise UsageError(f"--out {path}: No such file or directory: {parent}")
    extension = os.path.splitext(path)[1][1:].lower()
    if not extension:
        raise UsageError(f"--out {path} has no extension to name the format; write e.g. {path}.png")
    try:
        from matplotlib.backend_bases import FigureCanvasBase
    except ImportError:
        raise UsageError("plotting needs matplotlib: install hydrokit[plot]") from None
    formats = FigureCanvasBase.get_supported_filetypes()
    if extension not in formats:
        raise UsageError(f"--out {path}: format {extension!r} is not supported; choose from: {', '.join(sorted(formats))}")
    return extension


def figure(model: str, axis: str, span: tuple[float, float, int], fixed: dict[str, float],
           outputs: list[str]) -> Any:
    """Evaluate the sweep and draw it: a matplotlib Figure with one panel per output."""
    try:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
    except ImportError:
        raise UsageError("plotting needs matplotlib: install hydrokit[plot]") from None
    import numpy as np

    from ..batch import grid_arrays

    lay = layout(model)
    start, stop, count = span
    x = np.linspace(start, stop, count)
    # The swept slot may be written u.name or p.name: its unit comes from its vector.
    vector, index = lay.resolve(axis)
    x_unit = (lay.inputs if vector == "u" else lay.params)[index].unit
    # Each resolved slot once, whichever spelling was used on the command line.
    columns, values, units = grid_arrays(model, {axis: x, **fixed})
    unknown = [name for name in outputs if name not in values]
    if unknown:
        raise UsageError(f"unknown output {unknown[0]!r} for {model}; {did_you_mean(unknown[0], values)}"
                         f"choose from: {', '.join(values)}")

    fig = Figure(figsize=(7.0, 1.0 + 2.4 * len(outputs)), layout="constrained")
    FigureCanvasAgg(fig)
    panels = fig.subplots(len(outputs), 1, sharex=True, squeeze=False)[:, 0]
    for panel, name in zip(panels, outputs):
        y = values[name]
        panel.plot(columns[axis], np.where(np.isfinite(y), y, np.nan), color="tab:blue", linewidth=1.8)
        panel.set_ylabel(f"{name} [{units[name]}]")
        # Small or large values (fluxes in m/s) as mantissas with one shared power of ten.
        panel.ticklabel_format(axis="y", style="sci", scilimits=(-3, 4), useMathText=True)
        panel.grid(True, color="0.88")
    panels[-1].set_xlabel(f"{axis} [{x_unit}]")
    title = f"{model}: {lay.description}"
    if fixed:
        title += "\n" + ", ".join(f"{name} = {format_value(v)}" for name, v in fixed.items())
    fig.suptitle(title)
    return fig


def draw(model: str, axis: str, span: tuple[float, float, int], fixed: dict[str, float], outputs: list[str],
         path: str) -> None:
    """Evaluate the sweep and save the picture to exactly ``path``, in the format of its extension."""
    save_figure(figure(model, axis, span, fixed, outputs), path)


def save_figure(fig: Any, path: str) -> None:
    """Save ``fig`` to exactly ``path``, in the format of its extension."""
    extension = picture_format(path)
    picture = io.BytesIO()
    fig.savefig(picture, format=extension, dpi=120)
    # Drawn in memory first, so a failed write leaves no half picture behind
    # (a full disk) and nothing is created when drawing fails.
    existed = os.path.lexists(path)
    try:
        with open(path, "wb") as file:
            file.write(picture.getbuffer())
    except OSError:
        if not existed and os.path.isfile(path):
            os.remove(path)
        raise


def main(argv: Sequence[str], out: TextIO | None = None, err: TextIO | None = None,
         prog: str | None = None) -> int:
    """Run the plot command; returns the exit status (2 for any error)."""
    out, err, prog = streams(out, err, prog, "plot")
    if wants_help(argv):
        print(usage(prog), file=out)
        return 0
    try:
        args = parse(argv)
        draw(*args)
    except UsageError as exc:
        message = str(exc)
    except BrokenPipeError:
        raise  # the reader went away: the guard ends quietly (141)
    except Exception as exc:  # a file that cannot be written, ...
        message = f"{type(exc).__name__}: {exc}"
    else:
        print(args[-1], file=out)  # where the picture went
        return 0
    return say_error("hydrokit plot", message, err)
