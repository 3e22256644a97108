"""Flowsheet sweeps against their units' bare cores and against a Python loop; recycle iterations.

    python benchmarks/bench_flowsheet.py [--rows N] [--repeat R]

On the seawater example with its membrane on the lumped model (pump ->
osmolumped -> recoupsimple: a core of about 1 µs, so that what the plant
layer itself costs shows), and on the example as shipped (pump -> osmoaxial
-> recoupsimple), the same rows (feed salinity and pump pressure rise
scattered by ±5 %) are run as:

    plan      the compiled plan in C++ on one thread (Plan.run)
    sweep 1   fs.sweep(rows, threads=1): the plan plus the KPI columns and the table
    cores     the three units' bare cores in C++ loops on exactly the vectors
              the plan handed them (_sweep.core_seconds), summed
    loop      a Python loop chaining the units with run and the named layouts

and the two-pass example (second-pass concentrate recycled) is solved from
its default start to report its tear iterations. Figures are ratios measured
in one process; the machine's load moves the absolute rates.
"""

import argparse
import pathlib

import numpy as np

from hydrokit import _sweep
from hydrokit.flowsheet.plan import Plan
from hydrokit.flowsheet.plantfile import load, loads
from hydrokit.layout import layout
from timing import best

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


def unit_vectors(fs, plan, matrix):
    """Each unit's input and parameter rows as the plan fed them."""
    offsets, spans = [], {}
    for name, unit in fs.units.items():
        u, p, _ = plan.vectors[name]
        widths = (unit.layout.module.INPUT_WIDTH, unit.layout.module.PARAM_WIDTH)
        spans[name] = (len(offsets), widths)
        offsets += list(range(u, u + widths[0])) + list(range(p, p + widths[1]))
    probe = Plan(**{**{k: getattr(plan, k) for k in (
        "code", "state", "inputs", "cores", "width", "status", "tolerance", "cap", "names", "streams",
        "unit_outputs", "tears", "power", "flags", "fractions", "vectors")},
        "outputs": offsets, "columns": [str(i) for i in range(len(offsets))]})
    out = probe.run(matrix, 1)
    vectors = {}
    for name, (start, (nu, np_)) in spans.items():
        vectors[name] = (np.ascontiguousarray(out[:, start:start + nu]),
                         np.ascontiguousarray(out[:, start + nu:start + nu + np_]))
    return vectors


def python_loop(fs, salts, rises):
    """The seawater chain by hand: run and the layouts, row by row."""
    pump, ro, erd = layout("pump"), layout(fs.units["ro"].model), layout("recoupsimple")
    hp_set, ro_set, erd_set = (fs.units[n].settings for n in ("hp", "ro", "erd"))
    feed = fs.feeds["sea"].values
    results = []
    for salt, rise in zip(salts, rises):
        u, p = pump.vectors(feed_flow=feed["flow"], temperature_c=feed["temperature_c"],
                            inlet_pressure_bar=feed["pressure_bar"], component1_conc=salt, component2_conc=0,
                            component3_conc=0, component4_conc=0, component_count=1,
                            **{**hp_set, "pressure_rise_bar": rise})
        hp = pump.outputs(pump.module.run(u, p), p)
        u, p = ro.vectors(feed_flow=hp["flow"], temperature_c=hp["temperature_c"],
                          feed_pressure_bar=hp["outlet_pressure_bar"], feed_salinity=hp["component1_conc"] / 1000.0,
                          **ro_set)
        r = ro.outputs(ro.module.run(u, p))
        # The concentrate leaves after the channel's pressure drop where the model has one.
        u, p = erd.vectors(feed_flow=r["concentrate_flow"], temperature_c=hp["temperature_c"],
                           inlet_pressure_bar=r.get("concentrate_pressure_bar", hp["outlet_pressure_bar"]),
                           component1_conc=r["concentrate_salinity"] * 1000.0, component2_conc=0, component3_conc=0,
                           component4_conc=0, component_count=1, **erd_set)
        e = erd.outputs(erd.module.run(u, p), p)
        results.append((hp["pump_power_kw"] - e["reclaimed_power_kw"], r["permeate_flow"]))
    return results


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rows", type=int, default=20000)
    ap.add_argument("--loop-rows", type=int, default=2000)
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()

    shipped = (EXAMPLES / "seawater_ro.toml").read_text()
    lumped = shipped.replace('model = "osmoaxial"', 'model = "osmolumped"').replace(
        "segment_count = 20\n", "").replace("channel_pressure_drop_bar = 1.5 # over the vessel\n", "")
    for label, text in (("lumped element (osmolumped)", lumped), ("as shipped (osmoaxial)", shipped)):
        measure(loads(text, "seawater_ro.toml"), label, args)

    two = load(EXAMPLES / "two_pass_ro.toml")
    res = two.solve()
    print(f"two-pass RO recycle: tears {', '.join(two.plan().tears)}; {res.iterations} tear iterations from the "
          f"default start (target <= 25), converged={res.converged}, residual {res.residual:.2e}")


def measure(fs, label, args):
    rng = np.random.default_rng(0)
    n = args.rows
    salts = fs.feeds["sea"].values["salt"] * rng.uniform(0.95, 1.05, n)
    rises = fs.units["hp"].settings["pressure_rise_bar"] * rng.uniform(0.95, 1.05, n)
    names = ("sea.salt", "hp.pressure_rise_bar")
    matrix = np.column_stack([salts, rises])
    plan = fs.plan(names)

    plan_s = best(lambda: plan.run(matrix, 1), args.repeat)
    sweep_s = best(lambda: fs.sweep(dict(zip(names, matrix.T)), threads=1), args.repeat)
    vectors = unit_vectors(fs, plan, matrix)
    core_s = 0.0
    for name, (u, p) in vectors.items():
        model = fs.units[name].model
        y = np.zeros((n, fs.units[name].layout.module.OUTPUT_WIDTH))
        core_s += min(_sweep.core_seconds(model, u, p, y) for _ in range(args.repeat))
    k = min(n, args.loop_rows)
    loop_s = best(lambda: python_loop(fs, salts[:k], rises[:k]), max(1, args.repeat // 2))

    # The loop and the plan agree (a check that the comparison is fair).
    table = fs.evaluate(names, matrix[:k])
    by_hand = np.array(python_loop(fs, salts[:50], rises[:50]))
    assert np.array_equal(table["kpi.electric_power_kw"][:50], by_hand[:, 0])
    assert np.array_equal(table["kpi.product_flow"][:50], by_hand[:, 1])

    us = 1e6
    print(f"seawater RO, {label}, {n} rows (loop: {k} rows), one thread, µs per row:")
    print(f"  bare cores summed   {core_s / n * us:8.3f}")
    print(f"  plan                {plan_s / n * us:8.3f}   {plan_s / core_s:5.2f}x the cores  (target <= 1.3x)")
    print(f"  fs.sweep threads=1  {sweep_s / n * us:8.3f}   {sweep_s / core_s:5.2f}x the cores")
    print(f"  Python loop         {loop_s / k * us:8.3f}   fs.sweep is {loop_s / k / (sweep_s / n):6.1f}x faster"
          f"  (target >= 30x)")


if __name__ == "__main__":
    main()
