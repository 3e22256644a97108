"""``python -m hydrokit [MODEL [name=value ...] | COMMAND ...]``: hand the line to its command.

A first word naming a command (:data:`hydrokit.cli.commands.COMMANDS`) hands the
rest of the line to that command; anything else goes to the model commands.
"""

from __future__ import annotations

import importlib
import sys
from collections.abc import Sequence
from typing import TextIO

from .cli import models
from .cli.commands import COMMANDS
from .cli.common import Command, program_name
from .cli.guard import guard_output

__all__ = ["COMMANDS", "main", "command"]


def command(name: str) -> Command:
    """The entry point of the command ``name``."""
    module, _, function = COMMANDS[name][0].partition(":")
    fn: Command = getattr(importlib.import_module(module), function)
    return fn


@guard_output
def main(argv: Sequence[str] | None = None, out: TextIO | None = None, err: TextIO | None = None,
         prog: str | None = None) -> int:
    """Run the command line; returns the exit status (2 for a usage error)."""
    words = list(sys.argv[1:] if argv is None else argv)
    prog = prog or program_name()
    if words and words[0] in COMMANDS:
        return command(words[0])(words[1:], out, err, f"{prog} {words[0]}")
    return models.main(words, out, err, prog)


if __name__ == "__main__":
    sys.exit(main())
