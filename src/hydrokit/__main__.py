"""Command line: ``python -m hydrokit [MODEL [name=value ...] [--json]]``.

With no argument, list the models. With a model, run it on its default
vectors with the named overrides (names from its input or parameter vector)
and print every output with its name and unit.
"""

from __future__ import annotations

import errno
import functools
import json
import math
import os
import sys

from .layout import LayoutError, format_value, layout, models

USAGE = ("usage: python -m hydrokit [MODEL [name=value ...] [--json]]\n"
         "       python -m hydrokit plot MODEL AXIS=START:STOP[:COUNT] [name=value ...] --y OUT[,OUT] --out FILE")


class UsageError(Exception):
    """A bad word on the command line; the message is one line."""


def list_models(out):
    width = max(len(m) for m in models())
    for name in models():
        print(f"{name:<{width}}  {layout(name).description}", file=out)


def parse_number(text, name):
    try:
        return float(text)
    except ValueError:
        raise UsageError(f"value {text!r} for {name} is not a number "
                         "(write e.g. 30, 1e-3, -0.5, nan or inf)") from None


def parse_overrides(lay, words):
    overrides = {}
    for word in words:
        name, sep, value = word.partition("=")
        if not sep or not name:
            raise UsageError(f"expected name=value, got {word!r}")
        try:
            lay.resolve(name)
        except LayoutError as err:
            raise UsageError(str(err)) from None
        overrides[name] = parse_number(value, name)
    return overrides


def json_value(value):
    # JSON has no NaN or infinities: write those as strings.
    return value if math.isfinite(value) else str(value)


def run_model(model, words, as_json, out):
    if model not in models():
        raise UsageError(f"unknown model {model!r}; choose from: {', '.join(models())}")
    lay = layout(model)
    u, p = lay.vectors(**parse_overrides(lay, words))
    y = lay.module.run(u, p)
    slots = [s for s in lay.output_slots(p) if s.name]
    if as_json:
        outputs = [{"name": s.name, "value": json_value(float(y[s.index])), "unit": s.unit} for s in slots]
        print(json.dumps({"model": model, "outputs": outputs}, ensure_ascii=False, indent=2), file=out)
        return
    texts = [format_value(y[s.index]) for s in slots]
    name_width = max(len(s.name) for s in slots)
    value_width = max(len(t) for t in texts)
    for s, text in zip(slots, texts):
        print(f"{s.name:<{name_width}}  {text:>{value_width}}  {s.unit}".rstrip(), file=out)


def guard_output(command):
    """Wrap a command ``(argv, out, err) -> status`` so that its output errors end it cleanly.

    A reader that goes away (``| head``) ends the command quietly with status
    141, as a program stopped by SIGPIPE; any other failure to write (a full
    disk, standard output closed) is one line on ``err`` and status 2. The
    output is flushed here, so an error that the buffer would only meet at
    exit is caught too.
    """
    @functools.wraps(command)
    def guarded(argv=None, out=None, err=None):
        stream = out if out is not None else sys.stdout
        try:
            if stream is None:  # started with file descriptor 1 closed
                raise OSError(errno.EBADF, "standard output is closed")
            status = command(argv, out, err)
            stream.flush()
            return status
        except BrokenPipeError:
            _discard_output(stream)
            return 141
        except OSError as exc:
            _discard_output(stream)
            reason = exc.strerror or str(exc)
            print(f"hydrokit: cannot write the output: {reason}", file=err or sys.stderr)
            return 2

    return guarded


def _discard_output(stream):
    # What is still buffered would fail again when the interpreter flushes at
    # exit and print a traceback: let it go to the null device instead.
    if stream is None or stream is not sys.stdout:
        return
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, stream.fileno())
        os.close(null)
    except (OSError, ValueError):
        pass


@guard_output
def main(argv=None, out=None, err=None):
    argv = list(sys.argv[1:] if argv is None else argv)
    out = out or sys.stdout
    err = err or sys.stderr
    try:
        if argv and argv[0] == "plot":
            from .plot import main as plot_main

            return plot_main(argv[1:], out=out, err=err)
        as_json = "--json" in argv
        words = [w for w in argv if w != "--json"]
        if any(w in ("-h", "--help") for w in words):
            print(USAGE, file=out)
            return 0
        bad = [w for w in words if w.startswith("--")]
        if bad:
            raise UsageError(f"unknown option {bad[0]!r}; choose from: --json, --help")
        if not words:
            if as_json:
                catalogue = {m: layout(m).description for m in models()}
                print(json.dumps(catalogue, ensure_ascii=False, indent=2), file=out)
            else:
                list_models(out)
            return 0
        run_model(words[0], words[1:], as_json, out)
        return 0
    except UsageError as exc:
        print(f"hydrokit: {exc}", file=err)
        return 2


if __name__ == "__main__":
    sys.exit(main())
