"""The model commands: ``python -m hydrokit [MODEL [name=value ...]] [options]``.

With no argument, list the models. With a model, run it on its default
vectors with the named overrides (names from its input or parameter vector)
and print every output with its name and unit. ``MODEL --help`` prints every
slot of the model.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any, TextIO

from ..layout import (INTEGER_UNITS, Layout, Position, did_you_mean, format_value, is_integer_slot, layout, models,
                      port_fields, power_text, unknown_model)
from .commands import COMMANDS
from .common import UsageError, claim_slot, json_value, print_json, say_error, streams

OPTIONS = ("--json", "--digits", "--help", "-h", "--version")
MAX_DIGITS = 17


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
        claim_slot(lay, name, seen)
        overrides[name] = parse_number(value, name)
    return overrides


def model_layout(model: str) -> Layout:
    if model not in models():
        raise UsageError(unknown_model(model))
    return layout(model)


def run_model(model: str, words: Sequence[str], as_json: bool, out: TextIO, digits: int | None = None) -> None:
    """Run ``model`` with the ``name=value`` words and print every output."""
    lay = model_layout(model)
    u, p = lay.vectors(**parse_overrides(lay, words))
    y = lay.module.run(u, p)
    slots = [s for s in lay.output_slots(p) if s.name]
    if as_json:
        outputs = [{"name": s.name, "value": json_value(float(y[s.index])), "unit": s.unit} for s in slots]
        print_json({"model": model, "outputs": outputs}, out)
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


def _default_text(slot: Position, value: float) -> str:
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
    lay = model_layout(model)
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


def main(argv: Sequence[str], out: TextIO | None = None, err: TextIO | None = None, prog: str | None = None) -> int:
    """List, describe or run the models; returns the exit status (2 for a usage error)."""
    out, err, prog = streams(out, err, prog)
    try:
        words, options = parse_options(argv)
        if options["version"]:
            from .. import __version__

            print(f"hydrokit {__version__}", file=out)
            return 0
        if options["help"]:
            if not words:
                print(top_help(prog), file=out)
                return 0
            text, data = model_help(words[0], words[1:], prog)
            if options["json"]:
                print_json(data, out)
            else:
                print(text, file=out)
            return 0
        if not words:
            if options["json"]:
                catalogue = {m: layout(m).description for m in models()}
                print_json(catalogue, out)
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
        return say_error("hydrokit", exc, err)
