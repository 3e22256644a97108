"""Command line: ``python -m hydrokit [MODEL [name=value ...]] [options]``.

With no argument, list the models. With a model, run it on its default
vectors with the named overrides (names from its input or parameter vector)
and print every output with its name and unit. ``MODEL --help`` prints every
slot of the model; a first word naming a command (``plot``, ...) hands the
rest of the line to that command.
"""

from __future__ import annotations

import importlib
import inspect
import json
import math
import os
import sys
from collections.abc import Callable, Sequence
from typing import Any, TextIO

from .cli_guard import guard_output, one_line
from .layout import (INTEGER_UNITS, Layout, LayoutError, Slot, did_you_mean, format_value, is_integer_slot,
                     layout, models, port_fields, power_text, unknown_model)

# The subcommands: name -> ("module:function", one line for the top-level help).
# The function is called as function(argv, prog=...) when it takes ``prog``
# (the program name to show in its usage lines), else as function(argv), and
# returns the exit status.
COMMANDS: dict[str, tuple[str, str]] = {
    "plot": ("hydrokit.plot:main", "draw chosen outputs of a model against one swept input or parameter"),
    "flowsheet": ("hydrokit.flowsheet.cli:main", "solve a plant file: streams, unit outputs and key figures"),
    "diagram": ("hydrokit.display.cli:diagram_main", "draw a plant file's flowsheet as SVG (PNG, PDF with matplotlib)"),
    "report": ("hydrokit.display.cli:report_main", "write a plant's design report as one self-contained HTML page"),
    "costs": ("hydrokit.design:costs_main", "capital and operating costs, LCOW and SEC of a plant file"),
    "optimize": ("hydrokit.design:optimize_main", "minimise LCOW, SEC or a key figure of a plant over chosen slots"),
    "map": ("hydrokit.design:map_main", "draw LCOW (or a key figure) over two varied slots, optimum marked"),
}

OPTIONS = ("--json", "--digits", "--help", "-h", "--version")
MAX_DIGITS = 17


class UsageError(Exception):
    """A bad word on the command line; the message is one line."""


def program_name(argv0: str | None = None) -> str:
    """The program as it was invoked: ``hydrokit`` (the script) or ``python -m hydrokit``."""
    base = os.path.basename(sys.argv[0] if argv0 is None else argv0)
    if base.startswith("hydrokit") and not base.endswith(".py"):
        return base
    return "python -m hydrokit"


def usage(prog: str) -> str:
    return (f"usage: {prog} [MODEL [name=value ...]] [--json | --digits N]\n"
            f"       {prog} MODEL --help\n"
            f"       {prog} COMMAND ...    ({prog} COMMAND --help for its usage)")


def top_help(prog: str) -> str:
    width = max(len(m) for m in (*models(), *COMMANDS))
    lines = [usage(prog), "",
             "Steady-state process models for water-treatment unit operations. Without a model, list",
             "the models; with one, run it on its default vectors with the name=value overrides given",
             "(names of its inputs or parameters; u.name or p.name where a name is in both) and print",
             "every output with its unit.", "", "commands:"]
    lines += [f"  {name:<{width}}  {summary}" for name, (_, summary) in COMMANDS.items()]
    lines += ["", "options:",
              "  -h, --help     this help; after a model, every slot of the model",
              "  --version      the version of hydrokit",
              "  --json         results (or the list of models) as JSON",
              f"  --digits N     values to N significant digits (1 to {MAX_DIGITS}; text output)",
              "", "models:"]
    lines += [f"  {name:<{width}}  {layout(name).description}" for name in models()]
    return "\n".join(lines)


def list_models(out: TextIO) -> None:
    width = max(len(m) for m in models())
    for name in models():
        print(f"{name:<{width}}  {layout(name).description}", file=out)


def parse_number(text: str, name: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise UsageError(f"value {text!r} for {name} is not a number "
                         "(write e.g. 30, 1e-3, -0.5, nan or inf)") from None


def parse_overrides(lay: Layout, words: Sequence[str]) -> dict[str, float]:
    """``name=value`` words as overrides for ``lay.vectors``; each slot at most once."""
    overrides: dict[str, float] = {}
    seen: dict[tuple[str, int], str] = {}
    for word in words:
        name, sep, value = word.partition("=")
        if not sep or not name:
            raise UsageError(f"expected name=value, got {word!r}")
        try:
            slot = lay.resolve(name)
        except LayoutError as err:
            raise UsageError(str(err)) from None
        if slot in seen:
            first = seen[slot]
            raise UsageError(f"{name} is given twice" if first == name else f"{first} and {name} name the same slot")
        seen[slot] = name
        overrides[name] = parse_number(value, name)
    return overrides


def json_value(value: float) -> float | str:
    # JSON has no NaN or infinities: write those as strings.
    return value if math.isfinite(value) else str(value)


def _layout(model: str) -> Layout:
    if model not in models():
        raise UsageError(unknown_model(model))
    return layout(model)


def run_model(model: str, words: Sequence[str], as_json: bool, out: TextIO, digits: int | None = None) -> None:
    """Run ``model`` with the ``name=value`` words and print every output."""
    lay = _layout(model)
    u, p = lay.vectors(**parse_overrides(lay, words))
    y = lay.module.run(u, p)
    slots = [s for s in lay.output_slots(p) if s.name]
    if as_json:
        outputs = [{"name": s.name, "value": json_value(float(y[s.index])), "unit": s.unit} for s in slots]
        print(json.dumps({"model": model, "outputs": outputs}, ensure_ascii=False, indent=2), file=out)
        return
    if not slots:  # ultrasimple with solute_count below 1 names no output
        print(f"{model}: no output is named for these parameters; every value of y is {format_value(0.0)}"
              if not y.any() else f"{model}: no output is named for these parameters", file=out)
        return
    texts = [format_value(y[s.index], digits, is_integer_slot(s)) for s in slots]
    name_width = max(len(s.name) for s in slots)
    value_width = max(len(t) for t in texts)
    for s, text in zip(slots, texts):
        print(f"{s.name:<{name_width}}  {text:>{value_width}}  {s.unit}".rstrip(), file=out)


def _default_text(slot: Slot, value: float) -> str:
    return format_value(value, integer=slot.unit in INTEGER_UNITS or slot.unit == "switch")


def _rows(header: Sequence[str], rows: Sequence[Sequence[str]], indent: str = "  ") -> list[str]:
    widths = [max(len(r[i]) for r in (header, *rows)) for i in range(len(header))]
    lines = []
    for row in (header, *rows):
        cells = [row[0].rjust(widths[0]), *(c.ljust(w) for c, w in zip(row[1:], widths[1:]))]
        lines.append((indent + "  ".join(cells)).rstrip())
    return lines


def model_help(model: str, words: Sequence[str], prog: str) -> tuple[str, dict[str, Any]]:
    """The help text of a model and the same as data: every slot with index, unit and default.

    Output positions are those for the parameter vector the words give.
    """
    lay = _layout(model)
    u, p = lay.vectors(**parse_overrides(lay, words))
    u0, p0 = lay.module.default_input(), lay.module.default_params()
    outputs = [s for s in lay.output_slots(p) if s.name]
    data: dict[str, Any] = {
        "model": model, "description": lay.description,
        "inputs": [{"index": s.index, "name": s.name, "unit": s.unit, "default": json_value(float(u0[s.index]))}
                   for s in lay.inputs],
        "params": [{"index": s.index, "name": s.name, "unit": s.unit, "default": json_value(float(p0[s.index]))}
                   for s in lay.params],
        "outputs": [{"index": s.index, "name": s.name, "unit": s.unit} for s in outputs],
    }
    lines = [f"usage: {prog} {model} [name=value ...] [--json | --digits N]", "",
             f"{model}: {lay.description}", "",
             "Each name=value replaces the default of an input or parameter (u.name or p.name where a",
             "name is in both); every output is printed with its unit.", "",
             f"inputs (u, {len(lay.inputs)} values):"]
    lines += _rows(("index", "name", "unit", "default"),
                   [(str(s.index), s.name, s.unit, _default_text(s, u0[s.index])) for s in lay.inputs])
    lines += ["", f"parameters (p, {len(lay.params)} values):"]
    lines += _rows(("index", "name", "unit", "default"),
                   [(str(s.index), s.name, s.unit, _default_text(s, p0[s.index])) for s in lay.params])
    lines += ["", f"outputs (y, {len(lay.output_slots_default)} values):"]
    if lay.depends_on_params:
        count = lay.params[0]
        lines.append(f"  positions for {count.name} = {_default_text(count, p[count.index])}; "
                     f"they move with {count.name} (give {count.name}=N to see them)")
    lines += (_rows(("index", "name", "unit"), [(str(s.index), s.name, s.unit) for s in outputs]) if outputs
              else ["  none is named for these parameters"])
    for title, ports in (("inlets", lay.inlets), ("outlets", lay.outlets)):
        if ports:
            data[title] = {name: dict(port_fields(port)) for name, port in ports.items()}
            lines += ["", f"{title}:"]
            for name, port in ports.items():
                fields = "; ".join(f"{k}: {v}" if k else v for k, v in port_fields(port))
                lines.append(f"  {name}  {fields}")
    if lay.diagnostics:
        data["diagnostics"] = dict(lay.diagnostics)
        lines += ["", "diagnostics:"]
        lines += _rows(("output", "meaning"), list(lay.diagnostics.items()))[1:]
    if lay.power:
        names = list(lay.power)
        data["power"] = names
        lines += ["", "electric power: " + ", ".join(power_text(n) for n in names)]
    return "\n".join(lines), data


def _command(name: str) -> Callable[..., int]:
    module, _, function = COMMANDS[name][0].partition(":")
    fn: Callable[..., int] = getattr(importlib.import_module(module), function)
    return fn


def run_command(name: str, argv: Sequence[str], prog: str, out: TextIO | None = None,
                err: TextIO | None = None) -> int:
    """Hand ``argv`` to the subcommand ``name``; its exit status.

    The command gets the program name and the output streams for those of
    ``prog``, ``out`` and ``err`` that it takes as keywords.
    """
    fn = _command(name)
    try:
        accepted = inspect.signature(fn).parameters
    except (TypeError, ValueError):
        accepted = {}
    given = {"prog": f"{prog} {name}", "out": out, "err": err}
    return fn(list(argv), **{k: v for k, v in given.items() if k in accepted and v is not None})


def _digits(text: str) -> int:
    try:
        digits = int(text)
    except ValueError:
        raise UsageError(f"--digits needs a whole number, got {text!r}") from None
    if not 1 <= digits <= MAX_DIGITS:
        raise UsageError(f"--digits must be from 1 to {MAX_DIGITS}, got {digits}")
    return digits


def parse_options(argv: Sequence[str]) -> tuple[list[str], dict[str, Any]]:
    """The words that are not options, and the options: json, digits, help, version."""
    words: list[str] = []
    options: dict[str, Any] = {"json": False, "digits": None, "help": False, "version": False}
    i = 0
    while i < len(argv):
        word = argv[i]
        option, eq, attached = word.partition("=")
        if option == "--digits":
            if eq:
                text = attached
            elif i + 1 < len(argv):
                i += 1
                text = argv[i]
            else:
                raise UsageError("--digits needs a value")
            options["digits"] = _digits(text)
        elif word == "--json":
            options["json"] = True
        elif word in ("-h", "--help"):
            options["help"] = True
        elif word == "--version":
            options["version"] = True
        elif word.startswith("-") and not _is_number(word):
            raise UsageError(f"unknown option {word!r}; {did_you_mean(option, OPTIONS)}"
                             f"choose from: {', '.join(OPTIONS)}")
        else:
            words.append(word)
        i += 1
    if options["json"] and options["digits"] is not None:
        raise UsageError("--digits applies to text output, not to --json")
    return words, options


def _is_number(word: str) -> bool:
    try:
        float(word)
    except ValueError:
        return False
    return True


@guard_output
def main(argv: Sequence[str] | None = None, out: TextIO | None = None, err: TextIO | None = None,
         prog: str | None = None) -> int:
    """Run the command line; returns the exit status (2 for a usage error)."""
    argv = list(sys.argv[1:] if argv is None else argv)
    out = out or sys.stdout
    err = err or sys.stderr
    prog = prog or program_name()
    try:
        if argv and argv[0] in COMMANDS:
            return run_command(argv[0], argv[1:], prog, out, err)
        words, options = parse_options(argv)
        if options["version"]:
            from . import __version__

            print(f"hydrokit {__version__}", file=out)
            return 0
        if options["help"]:
            if not words:
                print(top_help(prog), file=out)
                return 0
            text, data = model_help(words[0], words[1:], prog)
            print(json.dumps(data, ensure_ascii=False, indent=2) if options["json"] else text, file=out)
            return 0
        if not words:
            if options["json"]:
                catalogue = {m: layout(m).description for m in models()}
                print(json.dumps(catalogue, ensure_ascii=False, indent=2), file=out)
            else:
                list_models(out)
            return 0
        if words[0] not in models() and "=" not in words[0]:
            close = did_you_mean(words[0], [*models(), *COMMANDS])
            raise UsageError(f"unknown model {words[0]!r}; {close}choose from: {', '.join(models())} "
                             f"(commands: {', '.join(COMMANDS)})")
        run_model(words[0], words[1:], options["json"], out, options["digits"])
        return 0
    except UsageError as exc:
        print(f"hydrokit: {one_line(exc)}", file=err)
        return 2


if __name__ == "__main__":
    sys.exit(main())
