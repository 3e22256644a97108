"""Rows per second of hydrokit.sweep for every model, against run() in a Python loop and the bare core.

    python benchmarks/bench_sweep.py [--seconds S] [--repeat R] [MODEL ...]

For each model the same rows (the defaults, each slot scaled by a random
factor in [0.95, 1.05]) are evaluated four ways, best of R:

    core      the core called in a C++ loop, no Python, one thread
    sweep 1   hydrokit.sweep(..., threads=1)
    sweep 2   hydrokit.sweep(..., threads=2)
    loop      [m.run(u[i], p[i]) for i in range(n)]

The row count is chosen so that the bare core takes about S/4 seconds, up to
--max-rows (default 65536). Far larger batches pay for their fresh output
memory too: the kernel zero-fills every new page on first touch, which at a
million rows of a cheap core (about 100 MB of output) costs as much as the
core itself. Rates depend on the machine and its load (other processes share the
cores); the ratios, measured in the same process minutes apart, are the
figures to compare.
"""

import argparse
import importlib
import os

import numpy as np

import hydrokit
from hydrokit import _sweep
from hydrokit.layout import models
from timing import best


def rows(m, n, seed=0):
    rng = np.random.default_rng(seed)
    u = m.default_input() * rng.uniform(0.95, 1.05, size=(n, m.INPUT_WIDTH))
    p = m.default_params() * rng.uniform(0.95, 1.05, size=(n, m.PARAM_WIDTH))
    return u, p


def measure(name, seconds, repeat, max_rows):
    m = importlib.import_module(f"hydrokit.{name}")
    # Calibrate the row count on the bare core.
    n = 256
    while True:
        u, p = rows(m, n)
        y = np.zeros((n, m.OUTPUT_WIDTH))
        spent = _sweep.core_seconds(name, u, p, y)
        if spent > seconds / 4 or n >= max_rows:
            break
        n = min(4 * n, max_rows)
    u, p = rows(m, n)
    y = np.zeros((n, m.OUTPUT_WIDTH))
    core = min(_sweep.core_seconds(name, u, p, y) for _ in range(repeat))
    one = best(lambda: hydrokit.sweep(name, u, p, threads=1), repeat)
    two = best(lambda: hydrokit.sweep(name, u, p, threads=2), repeat)
    # The Python loop is slow: time it on at most 20000 rows.
    k = min(n, 20000)
    run = m.run
    loop = best(lambda: [run(u[i], p[i]) for i in range(k)], repeat)
    return n, n / core, n / one, n / two, k / loop


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("models", nargs="*", default=list(models()))
    ap.add_argument("--seconds", type=float, default=0.1)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--max-rows", type=int, default=1 << 16)
    args = ap.parse_args()

    print(f"cores available: {len(os.sched_getaffinity(0))}; load average: "
          + ", ".join(f"{v:.2f}" for v in os.getloadavg()))
    header = (f"{'model':<13} {'rows':>8} {'core r/s':>10} {'sweep1 r/s':>11} {'sweep2 r/s':>11} {'loop r/s':>10}"
              f" {'s1/loop':>8} {'s2/s1':>6} {'s1/core':>8}")
    print(header)
    print("-" * len(header))
    for name in args.models:
        n, core, one, two, loop = measure(name, args.seconds, args.repeat, args.max_rows)
        print(f"{name:<13} {n:8d} {core:10.3g} {one:11.3g} {two:11.3g} {loop:10.3g}"
              f" {one / loop:8.1f} {two / one:6.2f} {one / core:8.2f}")


if __name__ == "__main__":
    main()
