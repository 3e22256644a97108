"""One solve of the seawater example against its units' run calls; a sweep's table against its plan rows.

    python benchmarks/bench_solve.py [--repeat R] [--rows N]

    units     pump.run + osmoaxial.run + recoupsimple.run on exactly the vectors
              the plan hands them (the work a solve cannot avoid, from Python)
    solve     fs.solve() and fs.solve(**{"hp.pressure_rise_bar": 60})
    solve+    a solve and reading its KPIs, then every accessor (checks, streams, outputs, costs)
    plan row  the compiled plan on one row (Plan.run)
    table     fs.evaluate on N rows against the plan on the same rows: what the
              table assembly adds, as a fraction of the plan rows' time

Figures are ratios measured in one process; the machine's load moves the absolute times.
"""

import argparse
import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from bench_flowsheet import unit_vectors  # noqa: E402

from hydrokit.flowsheet.plantfile import load, loads  # noqa: E402
from timing import per_call  # noqa: E402

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--calls", type=int, default=2000)
    ap.add_argument("--rows", type=int, default=20000)
    args = ap.parse_args()

    fs = load(EXAMPLES / "seawater_ro.toml")
    plan = fs.plan(())
    row = np.empty((1, 0))
    vectors = unit_vectors(fs, plan, row)
    runs = [(fs.units[name].layout.module.run, u[0].tolist(), p[0].tolist()) for name, (u, p) in vectors.items()]

    def units():
        for run, u, p in runs:
            run(u, p)

    override = {"hp.pressure_rise_bar": 60.0}

    def solve_read():
        res = fs.solve()
        return res.kpis["electric_power_kw"]

    def solve_all():
        res = fs.solve()
        res.checks, res.valid, res.power, res.kpis, res.row
        res.stream("water"), res.outputs("ro"), res.costs()

    fs.solve()
    fs.solve(**override)
    units_s = per_call(units, args.calls, args.repeat)
    figures = [
        ("plan row", per_call(lambda: plan.run(row, 1), args.calls, args.repeat)),
        ("fs.solve()", per_call(fs.solve, args.calls, args.repeat)),
        ("fs.solve(hp.pressure_rise_bar=60)", per_call(lambda: fs.solve(**override), args.calls, args.repeat)),
        ("solve + kpis", per_call(solve_read, args.calls, args.repeat)),
        ("solve + every accessor", per_call(solve_all, max(1, args.calls // 10), args.repeat)),
    ]
    us = 1e6
    print(f"seawater RO (pump -> osmoaxial -> recoupsimple), µs per call, best of {args.repeat}:")
    print(f"  units' run calls                    {units_s * us:8.2f}")
    for label, s in figures:
        print(f"  {label:<35} {s * us:8.2f}   {s / units_s:5.2f}x the units' run (solve target <= 3x)")

    # The table's share shows most on a plan of cheap rows: the membrane on the lumped model too.
    shipped = (EXAMPLES / "seawater_ro.toml").read_text()
    lumped = shipped.replace('model = "osmoaxial"', 'model = "osmolumped"').replace(
        "segment_count = 20\n", "").replace("channel_pressure_drop_bar = 1.5 # over the vessel\n", "")
    rng = np.random.default_rng(0)
    names = ("sea.salt", "hp.pressure_rise_bar")
    matrix = np.column_stack([35000 * rng.uniform(0.95, 1.05, args.rows), 59 * rng.uniform(0.95, 1.05, args.rows)])
    print(f"sweep of {args.rows} rows, one thread: what the table adds to the plan rows' time (target <= 0.3x)")
    for label, text in (("osmoaxial", shipped), ("osmolumped", lumped)):
        fs = loads(text, "seawater_ro.toml")
        big = fs.plan(names)
        plan_s = per_call(lambda: big.run(matrix, 1), 1, args.repeat)
        table_s = per_call(lambda: fs.evaluate(names, matrix, threads=1), 1, args.repeat)
        sweep_s = per_call(lambda: fs.sweep(dict(zip(names, matrix.T)), threads=1), 1, args.repeat)
        print(f"  {label:<11} plan {plan_s * 1e3:7.2f} ms   fs.evaluate +{(table_s - plan_s) / plan_s:.3f}x   "
              f"fs.sweep +{(sweep_s - plan_s) / plan_s:.3f}x")

if __name__ == "__main__":
    main()
