"""How every command ends, whatever happens while it runs.

A command line is one function ``(argv, out, err, prog) -> status``;
:func:`guard_output` wraps it so that

* a reader that goes away (``| head``) ends it quietly with status 141, as a
  program stopped by SIGPIPE;
* any other failure to write (a full disk, standard output closed) is one
  line on standard error and status 2;
* Ctrl-C is one line on standard error and status 130, as a shell reports a
  program stopped by SIGINT;
* a character the output stream's encoding cannot hold (``m³`` on an ASCII
  terminal, a file name with an undecodable byte) is written as ``?``
  instead of failing.
"""

from __future__ import annotations

import errno
import functools
import os
import sys

BROKEN_PIPE = 141   # 128 + SIGPIPE
INTERRUPTED = 130   # 128 + SIGINT
# Longest message a command prints: a hostile name or value is cut, never echoed whole.
MAX_MESSAGE = 1000


def one_line(text, limit=MAX_MESSAGE):
    """``text`` as one line of at most about ``limit`` characters (runs of white space as one blank)."""
    text = " ".join(str(text).split())
    return text if len(text) <= limit else text[:limit] + " ..."


def tolerant(stream):
    """Let ``stream`` write what its encoding cannot hold as ``?`` (only a strict text stream changes)."""
    if getattr(stream, "errors", None) == "strict" and hasattr(stream, "reconfigure"):
        try:
            stream.reconfigure(errors="replace")
        except (ValueError, OSError, AttributeError):
            pass


def guard_output(command):
    """Wrap a command ``(argv, out, err, prog) -> status`` so that it ends as described above.

    The output is flushed here, so an error that the buffer would only meet
    at exit is caught too.
    """
    @functools.wraps(command)
    def guarded(argv=None, out=None, err=None, prog=None):
        stream = out if out is not None else sys.stdout
        for s in (stream, err if err is not None else sys.stderr):
            if s is sys.stdout or s is sys.stderr:
                tolerant(s)
        try:
            if stream is None:  # started with file descriptor 1 closed
                raise OSError(errno.EBADF, "standard output is closed")
            status = command(argv, out, err, prog)
            stream.flush()
            return status
        except BrokenPipeError:
            _discard_output(stream)
            return BROKEN_PIPE
        except KeyboardInterrupt:
            _say(err, "hydrokit: interrupted")
            return INTERRUPTED
        except OSError as exc:
            _discard_output(stream)
            _say(err, f"hydrokit: cannot write the output: {exc.strerror or exc}")
            return 2
        except MemoryError:
            _say(err, "hydrokit: not enough memory for this command; ask for fewer points or a smaller plant")
            return 2
        except UnicodeEncodeError as exc:  # a stream of the caller's that cannot be made tolerant
            _say(err, f"hydrokit: cannot write the output: {exc.reason} ({exc.encoding})")
            return 2

    return guarded


def _say(err, message):
    stream = err if err is not None else sys.stderr
    try:
        print(one_line(message), file=stream)
        stream.flush()
    except (OSError, ValueError, AttributeError):
        pass  # nowhere left to say it


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
