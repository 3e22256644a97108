"""Sweep rows equal run bit for bit also when another exp is interposed before the C library's."""

import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

from conftest import load

# exp one ulp above the C library's: every result that passes through it moves.
SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <math.h>
double exp(double x) {
    static double (*next)(double);
    if (!next) next = (double (*)(double))dlsym(RTLD_NEXT, "exp");
    return nextafter(next(x), INFINITY);
}
"""

# The models whose unbounded loops call exp, over rows around their defaults.
CHILD = r"""
import sys, numpy as np, hydrokit
name = sys.argv[1]
m = hydrokit.load(name)
rows = np.tile(m.default_input(), (40, 1))
rows[:, 0] *= np.linspace(0.2, 3.0, 40)
ran = np.array([m.run(u) for u in rows])
swept = hydrokit.sweep(m, rows, None, threads=2)
print(int(np.array_equal(ran.view(np.uint64), swept.view(np.uint64))), ran.view(np.uint64).sum(dtype=np.uint64))
"""


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler to build the exp shim")
    path = tmp_path_factory.mktemp("shim")
    (path / "shim.c").write_text(SHIM)
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", path / "libshim.so", path / "shim.c", "-lm", "-ldl"],
                   check=True)
    return path / "libshim.so"


@pytest.mark.parametrize("name", ["osmolumped", "osmomech", "osmoaxial"])
def test_sweep_equals_run_under_an_interposed_exp(shim, name):
    env = dict(os.environ)
    # After a sanitizer runtime that must come first, where there is one.
    env["LD_PRELOAD"] = " ".join(filter(None, [env.get("LD_PRELOAD"), str(shim)]))
    done = subprocess.run([sys.executable, "-c", CHILD, name], env=env, capture_output=True, text=True,
                          check=True)
    equal, checksum = done.stdout.split()
    assert equal == "1", f"{name}: sweep rows differ from run under the interposed exp"
    # The shim took effect: run gives other bits than in this process, without it.
    m = load(name)
    rows = np.tile(m.default_input(), (40, 1))
    rows[:, 0] *= np.linspace(0.2, 3.0, 40)
    here = np.array([m.run(u) for u in rows]).view(np.uint64).sum(dtype=np.uint64)
    assert int(checksum) != int(here), "the interposed exp was not used"
