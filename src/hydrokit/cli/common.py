"""What every command shares: the one error type, the one reading of words, the one printer.

Every command is a function ``main(argv, out=None, err=None, prog=None) -> status``:
the words after the command name, the output and error streams (standard
output and error when None) and the program name to show in its usage line
(``python -m hydrokit COMMAND`` when None). A mistake is a :class:`UsageError`
(one line on standard error, status 2).
"""

from __future__ import annotations

import json
import math
import os
import sys
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any, Protocol, TextIO

from ..layout import Layout, LayoutError
from .guard import one_line

if TYPE_CHECKING:
    from ..flowsheet import Flowsheet, Result

__all__ = ["UsageError", "Command", "json_value", "number", "option_value", "plant_values", "print_json", "claim_slot",
           "say_error", "wants_help", "program_name", "streams", "solve_plant"]



class Command(Protocol):
    """The one signature of every command's entry point."""

    def __call__(self, argv: Sequence[str], out: TextIO | None = None, err: TextIO | None = None,
                 prog: str | None = None) -> int: ...


class UsageError(Exception):
    """A bad word on the command line; the message is one line."""


def program_name(argv0: str | None = None) -> str:
    """The program as it was invoked: ``hydrokit`` (the script) or ``python -m hydrokit``."""
    base = os.path.basename(sys.argv[0] if argv0 is None else argv0)
    if base.startswith("hydrokit") and not base.endswith(".py"):
        return base
    return "python -m hydrokit"


def streams(out: TextIO | None, err: TextIO | None, prog: str | None,
            command: str = "") -> tuple[TextIO, TextIO, str]:
    """The output and error streams and the program name of a command, defaults filled in."""
    name = prog if prog is not None else " ".join(w for w in ("python -m hydrokit", command) if w)
    return out or sys.stdout, err or sys.stderr, name


def json_value(value: float) -> float | str:
    """``value`` for JSON, which has no NaN or infinities: those are written as strings."""
    return value if math.isfinite(value) else str(value)


def print_json(data: Any, out: TextIO) -> None:
    """``data`` as indented JSON, its units and names in their own characters (m³, °C)."""
    print(json.dumps(data, ensure_ascii=False, indent=2), file=out)


def say_error(command: str, message: object, err: TextIO) -> int:
    """Report a mistake of ``command`` as one line on ``err``; the usage-error status 2."""
    print(f"{command}: {one_line(message)}", file=err)
    return 2


def wants_help(argv: Iterable[str]) -> bool:
    return any(word in ("-h", "--help") for word in argv)


def number(text: str, what: str) -> float:
    """``text`` as a float; a word that is not one is a usage error naming ``what``."""
    try:
        return float(text)
    except ValueError:
        raise UsageError(f"{what} {text!r} is not a number") from None


def option_value(argv: Sequence[str], i: int) -> tuple[str, int]:
    """The value of the option at ``argv[i]`` (``--name=value`` or ``--name value``) and the
    index of the last word it took."""
    option, eq, value = argv[i].partition("=")
    if eq:
        return value, i
    if i + 1 < len(argv):
        return argv[i + 1], i + 1
    raise UsageError(f"{option} needs a value")


def plant_value(word: str, values: dict[str, float]) -> None:
    """Add one ``unit.slot=value`` or ``feed.quantity=value`` word to ``values``.

    The value must be a finite number and each name may be given once: a plant
    point is one value per slot, and a second one silently winning would hide
    a typing mistake.
    """
    name, sep, text = word.partition("=")
    if not sep or "." not in name:
        raise UsageError(f"expected unit.slot=value or feed.quantity=value, got {word!r}")
    if name in values:
        raise UsageError(f"{name} is given twice")
    try:
        value = float(text)
    except ValueError:
        raise UsageError(f"value {text!r} for {name} is not a number "
                         "(write e.g. 30, 1e-3 or -0.5)") from None
    if not math.isfinite(value):
        raise UsageError(f"value {text!r} for {name} must be a finite number")
    values[name] = value


def plant_values(words: Iterable[str]) -> dict[str, float]:
    """``name=value`` words of a plant command as overrides (see :func:`plant_value`)."""
    values: dict[str, float] = {}
    for word in words:
        plant_value(word, values)
    return values


def claim_slot(lay: Layout, name: str, seen: dict[tuple[str, int], str]) -> None:
    """Resolve ``name`` in a model's layout and record it in ``seen``; a slot named twice (by the
    same name, or as ``name`` and ``u.name``) is a usage error."""
    try:
        slot = lay.resolve(name)
    except LayoutError as err:
        raise UsageError(str(err)) from None
    if slot in seen:
        first = seen[slot]
        raise UsageError(f"{name} is given twice" if first == name else f"{first} and {name} name the same slot")
    seen[slot] = name


def solve_plant(words: Sequence[str], usage: str) -> tuple[str, Flowsheet, dict[str, float], Result]:
    """The plant file the first word names, solved at the ``unit.slot=value`` words after it:
    (path, flowsheet, values, result). A plant that cannot be solved there is a UsageError naming
    the file; a file that cannot be read raises the loader's PlantFileError."""
    from ..flowsheet import FlowsheetError, load_plant

    if not words:
        raise UsageError(f"name a plant file; {usage}")
    path, values = words[0], plant_values(words[1:])
    fs = load_plant(path)
    try:
        res = fs.solve(**values)
    except FlowsheetError as exc:
        raise UsageError(f"{path}: {exc}") from None
    return path, fs, values, res
