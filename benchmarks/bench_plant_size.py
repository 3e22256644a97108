"""Building, compiling and solving plants of growing size: is the work linear in the plant?

    python benchmarks/bench_plant_size.py [--sizes 1250,2500,5000,10000] [--repeat 3]

Each plant is a chain of pumps (each adding 1 mbar) fed by one feed; a
second shape closes the chain into a recycle (a mixer before the first pump,
a splitter after the last returning a fifth of the flow). For each size the
best of ``repeat`` runs of: building the flowsheet (``fs.unit``/``fs.connect``),
compiling its plan (``fs.plan``) and one ``fs.solve``. The figures are the
seconds and, per unit, the ratio to the smallest size timed in this process:
a ratio near 1 at every size means the work grows linearly with the plant.
"""

import argparse
import time

import hydrokit


def build(n, loop):
    fs = hydrokit.Flowsheet(components=["salt"])
    fs.feed("w", flow=1e-3, salt=500.0)
    if loop:
        fs.mixer("mix")
        fs.splitter("split", [0.2, 0.8])
        fs.connect("w", "mix.inlet1")
    for i in range(n):
        fs.unit(f"p{i}", "pump", pressure_rise_bar=1e-3)
        fs.connect(("mix" if loop else "w") if i == 0 else f"p{i - 1}", f"p{i}")
    if loop:
        fs.connect(f"p{n - 1}", "split")
        fs.connect("split.outlet1", "mix.inlet2")
    return fs


def timed(n, loop):
    start = time.perf_counter()
    fs = build(n, loop)
    built = time.perf_counter()
    fs.plan(())
    compiled = time.perf_counter()
    res = fs.solve()
    solved = time.perf_counter()
    assert res.converged and res.flagged == 0
    return built - start, compiled - built, solved - compiled


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="1250,2500,5000,10000")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    for loop in (False, True):
        print(f"\n{'recycle' if loop else 'chain'} of pumps")
        print(f"{'units':>7}{'build s':>10}{'compile s':>11}{'solve s':>10}{'per unit vs smallest':>24}")
        base = None
        for n in sizes:
            runs = [timed(n, loop) for _ in range(args.repeat)]
            best = [min(r[k] for r in runs) for k in range(3)]
            per_unit = sum(best) / n
            base = base or per_unit
            print(f"{n:>7}{best[0]:>10.3f}{best[1]:>11.3f}{best[2]:>10.3f}{per_unit / base:>24.2f}")


if __name__ == "__main__":
    main()
