"""Per-call cost of run() for every model, as a ratio to np.zeros in the same process.

    python benchmarks/bench_run.py [--number N] [--repeat R] [MODEL ...]

Absolute times depend on the machine and its load; the ratio to np.zeros of
the model's output width, timed alongside, is the figure to compare.
"""

import argparse
import importlib
import timeit

import numpy as np

from hydrokit.layout import models


def best_ns(stmt, number, repeat):
    return min(timeit.repeat(stmt, number=number, repeat=repeat)) / number * 1e9


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("models", nargs="*", default=list(models()))
    ap.add_argument("--number", type=int, default=20000)
    ap.add_argument("--repeat", type=int, default=7)
    args = ap.parse_args()

    header = f"{'model':<13} {'zeros ns':>9} {'run(u,p) ns':>12} {'ratio':>6} {'run() ns':>9} {'ratio':>6}"
    print(header)
    print("-" * len(header))
    for name in args.models:
        m = importlib.import_module(f"hydrokit.{name}")
        u, p, width = m.default_input(), m.default_params(), m.OUTPUT_WIDTH
        run = m.run
        zeros = best_ns(lambda: np.zeros(width), args.number, args.repeat)
        with_arrays = best_ns(lambda: run(u, p), args.number, args.repeat)
        no_args = best_ns(run, args.number, args.repeat)
        print(f"{name:<13} {zeros:9.0f} {with_arrays:12.0f} {with_arrays / zeros:6.2f} "
              f"{no_args:9.0f} {no_args / zeros:6.2f}")


if __name__ == "__main__":
    main()
