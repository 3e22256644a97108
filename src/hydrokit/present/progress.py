"""Progress of long sweeps and optimisations: a tqdm bar when tqdm is installed, plain lines on stderr otherwise.

``progress=None`` (the default of the callers) shows progress only where someone is watching (a
terminal on stderr, or a notebook kernel) and only once the work has run for ``DELAY`` seconds,
so a short call prints nothing and pays one clock reading per step. ``True`` shows it from the
start wherever stderr goes; ``False`` never.
"""

from __future__ import annotations

import sys
import time
from typing import Any, TextIO

DELAY = 2.0        # s of work before progress appears on its own
LINE_EVERY = 1.0   # s between plain progress lines


def interactive() -> bool:
    """True in a terminal (stderr) or a notebook kernel."""
    if "ipykernel" in sys.modules:
        return True
    try:
        return bool(sys.stderr.isatty())
    except (AttributeError, ValueError):
        return False


def wanted(progress: bool | None) -> bool:
    """Whether a call with this ``progress`` setting may show progress at all."""
    if progress is None:
        return interactive()
    if not isinstance(progress, bool):
        raise TypeError(f"progress must be True, False or None, not {progress!r}")
    return progress


class Progress:
    """Steps of a piece of work, shown once it has lasted ``delay`` seconds (at once when forced)."""

    def __init__(self, label: str, total: int | None = None, unit: str = "rows", progress: bool | None = None,
                 stream: TextIO | None = None) -> None:
        self.label, self.total, self.unit = label, total, unit
        self.enabled = wanted(progress)
        self.delay = 0.0 if progress is True else DELAY
        self.stream = stream or sys.stderr
        self.start = time.monotonic()
        self.done = 0
        self.bar: Any = None     # a tqdm bar once shown; tqdm brings no type information
        self.last_line = -LINE_EVERY
        self.note = ""

    def __enter__(self) -> Progress:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def update(self, steps: int = 1, note: str = "") -> None:
        self.done += steps
        self.note = note
        if not self.enabled:
            return
        elapsed = time.monotonic() - self.start
        if elapsed < self.delay:
            return
        if self.bar is None and self.last_line < 0:
            try:
                from tqdm.auto import tqdm
            except ImportError:
                tqdm = None
            if tqdm is not None:
                self.bar = tqdm(total=self.total, desc=self.label, unit=self.unit, file=self.stream,
                                initial=0, leave=False)
                self.bar.update(self.done)
                self.bar.set_postfix_str(note)
                return
        if self.bar is not None:
            self.bar.update(steps)
            if note:
                self.bar.set_postfix_str(note)
            return
        if elapsed - self.last_line >= LINE_EVERY:
            self.last_line = elapsed
            share = f" {100.0 * self.done / self.total:.0f}% ({self.done}/{self.total} {self.unit})" \
                if self.total else f" {self.done} {self.unit}"
            print(f"{self.label}:{share}, {elapsed:.1f} s{', ' + note if note else ''}", file=self.stream,
                  flush=True)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
            self.bar = None
        elif self.enabled and self.last_line >= 0:
            print(f"{self.label}: done, {self.done} {self.unit} in {time.monotonic() - self.start:.1f} s",
                  file=self.stream, flush=True)
