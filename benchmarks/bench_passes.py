"""Time per solver pass of the lumped reverse-osmosis element.

A tolerance of 0 can never be met, so every call runs exactly its pass cap;
the difference between a call with a large cap and one with cap 1 over the
number of extra passes is the cost of one pass. Not a test: print only.

    .venv/bin/python benchmarks/bench_passes.py [passes]
"""

import sys
import time

from hydrokit import osmoaxial, osmolumped


def seconds(fn, repeat=5):
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def per_pass(module, passes, slot_cap, slot_tol, extra=None):
    u, p = module.default_input(), module.default_params()
    p[slot_tol] = 0.0
    for index, value in (extra or {}).items():
        p[index] = value
    p[slot_cap] = 1
    base = seconds(lambda: module.run(u, p))
    p[slot_cap] = passes
    y = module.run(u, p)
    long = seconds(lambda: module.run(u, p), repeat=3)
    return long, (long - base) / passes, y


def main():
    passes = int(float(sys.argv[1])) if len(sys.argv) > 1 else 1_000_000
    long, each, y = per_pass(osmolumped, passes, slot_cap=8, slot_tol=9)
    print(f"osmolumped: {passes} passes in {long:.3f} s, {each * 1e9:.1f} ns per pass "
          f"(iterations reported {y[13]:.0f})")
    # One segment, so the pass count is that of one solve.
    long, each, y = per_pass(osmoaxial, passes, slot_cap=10, slot_tol=11, extra={8: 1})
    print(f"osmoaxial, 1 segment: {passes} passes in {long:.3f} s, {each * 1e9:.1f} ns per pass")
    cap = 2**31 - 1
    print(f"worst case per call at the cap {cap}: osmolumped ≈ {cap * each:.0f} s, "
          f"osmoaxial with 200 segments ≈ {200 * cap * each / 3600:.1f} h")


if __name__ == "__main__":
    main()
