"""The sanitizer build (`make sanitize`) really watches the cores.

Skipped in the normal build. Under the sanitizer, a core told that its
output holds OUTPUT_WIDTH slots while the buffer holds one must be stopped
with a heap-buffer-overflow report naming the core: proof that a clean run
of the suite means something.
"""

import subprocess
import sys
from pathlib import Path

import pytest

from conftest import MODELS, load
from harness import asan_loaded

pytestmark = pytest.mark.skipif(not asan_loaded(), reason="only in the sanitizer build (make sanitize)")

OVERRUN = """
import ctypes, sys
sys.path.insert(0, sys.argv[2])
from conftest import core_guard, load
m = load(sys.argv[1])
libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
libc.malloc.argtypes = [ctypes.c_size_t]
Doubles = ctypes.POINTER(ctypes.c_double)
u = (ctypes.c_double * m.INPUT_WIDTH)(*m.default_input())
p = (ctypes.c_double * m.PARAM_WIDTH)(*m.default_params())
short = ctypes.cast(libc.malloc(8), Doubles)  # room for one slot only
core_guard(m)(u, m.INPUT_WIDTH, p, m.PARAM_WIDTH, short, m.OUTPUT_WIDTH)
print("no report")
"""


def test_every_module_is_instrumented():
    for name in MODELS:
        out = subprocess.run(["nm", "-D", "--undefined-only", load(name).__file__],
                             capture_output=True, text=True, check=True).stdout
        assert "__asan_report_" in out and "__ubsan_handle_" in out, name


@pytest.mark.parametrize("name", MODELS)
def test_a_write_past_the_output_is_caught(name):
    proc = subprocess.run([sys.executable, "-c", OVERRUN, name, str(Path(__file__).parent)], capture_output=True, text=True)
    assert proc.returncode != 0 and "no report" not in proc.stdout
    assert "heap-buffer-overflow" in proc.stderr and f"{name}_core" in proc.stderr, proc.stderr[-2000:]
