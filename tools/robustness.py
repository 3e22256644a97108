"""Long robustness runs over every model, with a summary table.

    python tools/robustness.py fuzz  [--examples 100000] [--argument-examples 10000] [--jobs 2] [MODEL ...]
    python tools/robustness.py leaks [--calls 1000000] [--jobs 2] [MODEL ...]
    python tools/robustness.py flowsheets [--rows 20000] [--timeout 600] [PLANT.toml ...]

`fuzz` runs, per model, the hypothesis checks of tests/test_fuzz.py with the
given number of examples, and evaluates the same hostile rows again through
`hydrokit.sweep` on two threads, in batches of SWEEP_BATCH, where every row
must come out bitwise equal to `run` on it ("sweep differs" otherwise), each
model in its own process so that a crash is
counted (and its traceback kept) instead of ending the run. Findings are
counted, not stopped at, and the first example of each kind is printed as a
call that reproduces it. `leaks` makes the given number of calls of every
kind per model and prints the growth of traced memory and of the resident
size and any reference count that moved. `flowsheets` solves every plant of
examples/ (or those named) with hostile values in a few of its variable slots
per row (every input and parameter a unit lets a flowsheet vary, every feed
quantity), through `evaluate` on two threads and through `solve` for a sample
of rows, each plant in its own process under a time limit: a crash, a hang, a
raised error or a sweep row that is not `solve`'s bit for bit is a finding;
a row with a NaN or an infinity in a stream must come out flagged
("unflagged" otherwise); clean rows with a non-finite key figure (the energy
per cubic metre of no product) are counted for information. The exit status is 1 when anything was
found.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

TESTS = Path(__file__).resolve().parent.parent / "tests"
EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


# ---- in the child process -------------------------------------------------------


SWEEP_BATCH = 256
SWEEP_DIFFERS = "sweep differs"


def child_fuzz(name, examples, argument_examples, batch, progress_path):
    sys.path.insert(0, str(TESTS))
    import numpy as np
    from hypothesis import HealthCheck, Phase, given, settings
    from hypothesis import strategies as st

    import hydrokit
    from harness import CRASH, KINDS, ModelCase, describe

    case = ModelCase(name)
    counts = {kind: 0 for kind in (*KINDS, SWEEP_DIFFERS)}
    first = {}
    tried = {"values": 0, "arguments": 0, "sweep rows": 0}
    pending = []  # hostile rows waiting for their sweep
    slowest = [0.0]
    progress = open(progress_path, "w")

    def note(u, p):
        # The example under test, where a crash leaves it for the parent.
        progress.seek(0)
        progress.write(describe(u, p))
        progress.truncate()
        progress.flush()

    def record(found, u, p):
        for f in found:
            counts[f.kind] += 1
            first.setdefault(f.kind, f"{f.detail}: {describe(u, p)}")

    def sweep_pending():
        # The rows of many examples at once, on two threads: each must be run's row.
        if not pending:
            return
        us, ps = np.array([u for u, _ in pending]), np.array([p for _, p in pending])
        note(us[0], ps[0])
        try:
            ys = hydrokit.sweep(name, us, ps, threads=2)
        except Exception as exc:
            counts[CRASH] += 1
            first.setdefault(CRASH, f"sweep raised {type(exc).__name__}: {exc}: first row {describe(us[0], ps[0])}")
        else:
            for (u, p), y in zip(pending, ys):
                if y.tobytes() != case.module.run(u, p).tobytes():
                    counts[SWEEP_DIFFERS] += 1
                    first.setdefault(SWEEP_DIFFERS, f"a sweep row is not run's: {describe(u, p)}")
        tried["sweep rows"] += len(pending)
        pending.clear()

    quiet = dict(deadline=None, database=None, phases=[Phase.generate],
                 suppress_health_check=list(HealthCheck))

    @settings(max_examples=-(-examples // batch), **quiet)
    @given(case.batches(batch))
    def values(examples_of_case):
        for u, p, form in examples_of_case:
            note(u, p)
            start = time.perf_counter()
            found = case.check_values(u, p, form)
            slowest[0] = max(slowest[0], time.perf_counter() - start)
            tried["values"] += 1
            record(found, u, p)
            pending.append((np.array(u, dtype=np.float64), np.array(p, dtype=np.float64)))
            if len(pending) >= SWEEP_BATCH:
                sweep_pending()

    @settings(max_examples=max(1, argument_examples), **quiet)
    @given(case.arguments("u"), case.arguments("p"))
    def arguments(u, p):
        note(u, p)
        tried["arguments"] += 1
        record(case.check_arguments(u, p), u, p)

    case.check_values(case.u_default, case.p_default)  # loads the guard: not part of the slowest example
    start = time.perf_counter()
    values()
    sweep_pending()
    if argument_examples:
        arguments()
    return {"model": name, "examples": tried["values"], "argument_examples": tried["arguments"],
            "sweep_rows": tried["sweep rows"],
            "counts": counts, "first": first, "slowest_check_s": slowest[0],
            "seconds": time.perf_counter() - start}


def child_leaks(name, calls):
    sys.path.insert(0, str(TESTS))
    from harness import LEAK_KINDS, ModelCase, asan_loaded, measure_leaks

    case = ModelCase(name)
    rows = [measure_leaks(case, kind, calls) for kind in LEAK_KINDS]
    return {"model": name, "rows": rows, "asan": asan_loaded()}


# ---- in the parent ----------------------------------------------------------------


# Hostile values for the flowsheet fuzz: a count slot takes counts near the
# valid range or beyond int32 (an in-range cap of 2**31 - 1 is valid and only
# slow), any other slot anything.
HOSTILE = (float("nan"), -float("nan"), float("inf"), -float("inf"), 0.0, -0.0, -1.0, 1e308, -1e308,
           5e-324, 1e-300, 1e12, -1e12)
HOSTILE_COUNTS = (float("nan"), float("inf"), -float("inf"), -1.0, 0.0, 1.0, 2.0, 1000.0, -1000.0,
                  3e9, -3e9, 0.49, 200.5)


def flowsheet_variables(fs):
    """Every name a sweep of ``fs`` may vary (unit slots not filled by streams, feed
    quantities), their values as built, and the count-like ones among them."""
    from hydrokit.flowsheet.build import FlowsheetError

    names, values, counts = [], [], set()
    for unit_name, unit in fs.units.items():
        lay = unit.layout
        for vector, slots in (("u", lay.inputs), ("p", lay.params)):
            for slot in slots:
                key = f"{vector}.{slot.name}"
                try:
                    unit.resolve_slot(key, varied=True)
                except FlowsheetError:
                    continue
                name = f"{unit_name}.{key}"
                names.append(name)
                values.append(float((unit.u0 if vector == "u" else unit.p0)[slot.index]))
                if slot.unit == "count" or slot.unit == "switch":
                    counts.add(name)
    for feed_name, feed in fs.feeds.items():
        for quantity in ("flow", "temperature_c", "pressure_bar", *fs.components):
            names.append(f"{feed_name}.{quantity}")
            values.append(float(feed.values[quantity]))
    return names, values, counts


def child_flowsheet(path, rows, seed, progress_path):
    import numpy as np

    import hydrokit.flowsheet

    fs = hydrokit.flowsheet.load_plant(path)
    names, start_values, counts = flowsheet_variables(fs)
    rng = np.random.default_rng(seed)
    matrix = np.tile(np.array(start_values, dtype=np.float64), (rows, 1))
    for i in range(rows):
        for j in rng.choice(len(names), size=int(rng.integers(1, 5)), replace=False):
            pool = HOSTILE_COUNTS if names[j] in counts else HOSTILE
            matrix[i, j] = pool[int(rng.integers(len(pool)))]
    progress = open(progress_path, "w")
    found = {"raised": 0, "solve differs": 0}
    first = {}
    started = time.perf_counter()
    try:
        table = fs.evaluate(names, matrix, threads=2)
    except Exception as exc:
        return {"plant": str(path), "rows": rows, "variables": len(names), "found": {"raised": 1},
                "first": {"raised": f"evaluate raised {type(exc).__name__}: {exc}"}, "unflagged_nonfinite": 0,
                "seconds": time.perf_counter() - started}
    columns = list(table)
    for i in range(0, rows, max(1, rows // 200)):
        values = dict(zip(names, matrix[i].tolist()))
        progress.seek(0)
        progress.write(repr(values))
        progress.truncate()
        progress.flush()
        try:
            row = fs.solve(**values).row
        except Exception as exc:
            found["raised"] += 1
            first.setdefault("raised", f"solve raised {type(exc).__name__}: {exc}: {values!r}")
            continue
        got = np.array([table[c][i] for c in columns])
        want = np.array([row[c] for c in columns])
        if got.tobytes() != want.tobytes():
            found["solve differs"] += 1
            first.setdefault("solve differs", f"sweep row {i} is not solve's: {values!r}")
    kpis = [c for c in columns if c.startswith("kpi.")]
    nonfinite = ~np.all(np.isfinite(np.column_stack([table[c] for c in kpis])), axis=1)
    clean = (table["converged"] == 1) & (table["flagged"] == 0)
    # A NaN or an infinity in any stream must flag the row; only key figures
    # such as the energy per cubic metre of no product may be non-finite in a
    # clean row.
    streams = [c for c in columns if c.count(".") >= 1 and c.rsplit(".", 1)[1] in
               ("flow", "temperature_c", "pressure_bar", *fs.components) and c.split(".", 1)[0] not in fs.feeds]
    stream_bad = ~np.all(np.isfinite(np.column_stack([table[c] for c in streams])), axis=1) if streams else False
    unflagged = int(np.count_nonzero(stream_bad & clean))
    if unflagged:
        found["unflagged stream"] = unflagged
        i = int(np.flatnonzero(stream_bad & clean)[0])
        first["unflagged stream"] = f"row {i}: a stream is not finite but the row is clean: " \
                                    f"{dict(zip(names, matrix[i].tolist()))!r}"
    return {"plant": str(path), "rows": rows, "variables": len(names), "found": found, "first": first,
            "unflagged_nonfinite": int(np.count_nonzero(nonfinite & clean)),
            "not_converged": int(np.count_nonzero(table["converged"] != 1)),
            "flagged": int(np.count_nonzero(table["flagged"] != 0)),
            "seconds": time.perf_counter() - started}


def run_flowsheets(args):
    plants = [Path(p) for p in args.plants] or sorted(EXAMPLES.glob("*.toml"))
    print(f"flowsheets: {args.rows} hostile rows per plant, {len(plants)} plants, "
          f"time limit {args.timeout} s each", flush=True)
    tmp = tempfile.mkdtemp(prefix="hydrokit-flowsheets-")
    header = (f"{'plant':<22}{'variables':>10}{'rows':>8}{'crashes':>9}{'hangs':>7}{'raised':>8}"
              f"{'solve diff.':>12}{'unflagged':>11}{'not conv.':>11}{'flagged':>9}{'clean, KPI NaN':>16}"
              f"{'seconds':>9}")
    lines, bad = [], []
    for plant in plants:
        progress = os.path.join(tmp, plant.stem)
        try:
            out = spawn(["--child-flowsheet", str(plant), str(args.rows), str(args.seed), progress], progress,
                        timeout=args.timeout)
        except subprocess.TimeoutExpired:
            last = Path(progress).read_text() if os.path.exists(progress) else ""
            lines.append(f"{plant.stem:<22}{'?':>10}{args.rows:>8}{0:>9}{1:>7}")
            bad.append((plant.stem, f"no answer within {args.timeout} s; last row solved: {last}"))
            continue
        result, rc, err, last = out
        if result is None:
            lines.append(f"{plant.stem:<22}{'?':>10}{args.rows:>8}{1:>9}{0:>7}")
            bad.append((plant.stem, f"process ended with status {rc}; last row: {last}\n{err}"))
            continue
        f = result["found"]
        lines.append(f"{plant.stem:<22}{result['variables']:>10}{result['rows']:>8}{0:>9}{0:>7}"
                     f"{f.get('raised', 0):>8}{f.get('solve differs', 0):>12}{f.get('unflagged stream', 0):>11}"
                     f"{result.get('not_converged', 0):>11}"
                     f"{result.get('flagged', 0):>9}{result['unflagged_nonfinite']:>16}{result['seconds']:>9.1f}")
        for kind, text in result["first"].items():
            bad.append((plant.stem, f"{kind}: {text}"))
    print()
    print(header)
    print("-" * len(header))
    print("\n".join(lines))
    for name, text in bad:
        print(f"\n{name}: {text}")
    return 1 if bad else 0


def models(requested):
    from hydrokit.layout import models as installed

    names = installed()
    unknown = [m for m in requested if m not in names]
    if unknown:
        sys.exit(f"unknown model(s): {', '.join(unknown)}; installed: {', '.join(names)}")
    return list(requested) or list(names)


def spawn(argv, progress_path=None, timeout=None):
    """Run this script as a child; return (result or None, returncode, stderr tail, last example)."""
    proc = subprocess.run([sys.executable, "-X", "faulthandler", __file__, *argv],
                          capture_output=True, text=True, timeout=timeout)
    result = None
    if proc.returncode == 0 and proc.stdout.strip():
        result = json.loads(proc.stdout.strip().splitlines()[-1])
    last = ""
    if progress_path and os.path.exists(progress_path):
        last = Path(progress_path).read_text()
    return result, proc.returncode, proc.stderr[-6000:], last


def run_fuzz(args):
    names = models(args.models)
    print(f"fuzz: {args.examples} value examples ({args.batch} per hypothesis test case) and "
          f"{args.argument_examples} argument examples per model, {len(names)} models, {args.jobs} at a time",
          flush=True)
    tmp = tempfile.mkdtemp(prefix="hydrokit-fuzz-")

    def one(name):
        progress = os.path.join(tmp, name)
        out = spawn(["--child-fuzz", name, str(args.examples), str(args.argument_examples), str(args.batch),
                     progress], progress)
        result, rc, err, last = out
        line = (f"  {name}: done" if result else f"  {name}: process ended with status {rc}")
        print(line, flush=True)
        return name, out

    started = time.perf_counter()
    with ThreadPoolExecutor(args.jobs) as pool:
        outcomes = dict(pool.map(one, names))
    elapsed = time.perf_counter() - started

    header = (f"{'model':<14}{'examples':>10}{'argument ex.':>14}{'crashes':>9}{'breaches':>10}"
              f"{'nondeterm.':>12}{'changed':>9}{'sweep diff.':>12}{'slowest ms':>12}{'seconds':>9}")
    print()
    print(header)
    print("-" * len(header))
    bad = []
    totals = [0] * 7
    for name in names:
        result, rc, err, last = outcomes[name]
        if result is None:
            print(f"{name:<14}{'?':>10}{'?':>14}{1:>9}{'?':>10}{'?':>12}{'?':>9}{'?':>12}{'':>12}{'':>9}")
            bad.append((name, f"process ended with status {rc}; last example:\n    {last}\n{err}"))
            totals[2] += 1
            continue
        c = result["counts"]
        row = [result["examples"], result["argument_examples"], c["crash"], c["sentinel breach"],
               c["nondeterministic"], c["changed argument"], c[SWEEP_DIFFERS]]
        totals = [t + r for t, r in zip(totals, row)]
        print(f"{name:<14}{row[0]:>10}{row[1]:>14}{row[2]:>9}{row[3]:>10}{row[4]:>12}{row[5]:>9}{row[6]:>12}"
              f"{result['slowest_check_s'] * 1e3:>12.1f}{result['seconds']:>9.0f}")
        for kind, text in result["first"].items():
            bad.append((name, f"{kind}: {text}"))
    print("-" * len(header))
    print(f"{'all':<14}{totals[0]:>10}{totals[1]:>14}{totals[2]:>9}{totals[3]:>10}{totals[4]:>12}"
          f"{totals[5]:>9}{totals[6]:>12}{'':>12}{elapsed:>9.0f}")
    for name, text in bad:
        print(f"\n{name}: {text}")
    return 1 if bad else 0


def run_leaks(args):
    names = models(args.models)
    kib = 1024
    print(f"leaks: {args.calls} calls per model and kind, {len(names)} models, {args.jobs} at a time", flush=True)

    def one(name):
        out = spawn(["--child-leaks", name, str(args.calls)])
        print(f"  {name}: {'done' if out[0] else 'process ended with status %d' % out[1]}", flush=True)
        return name, out

    started = time.perf_counter()
    with ThreadPoolExecutor(args.jobs) as pool:
        outcomes = dict(pool.map(one, names))
    elapsed = time.perf_counter() - started
    header = (f"{'model':<14}{'kind':<12}{'calls':>9}{'µs/call':>9}{'traced KiB':>12}{'RSS KiB':>9}"
              f"{'refcounts':>11}{'defaults':>10}")
    print()
    print(header)
    print("-" * len(header))
    bad = []
    for name in names:
        result, rc, err, _ = outcomes[name]
        if result is None:
            print(f"{name:<14}process ended with status {rc}")
            bad.append((name, err))
            continue
        for r in result["rows"]:
            leak = (r["traced_growth"] >= args.traced_allowance
                    or (not result["asan"] and r["rss_growth"] >= args.rss_allowance)
                    or r["refcount_changes"] or not r["stored_unchanged"])
            print(f"{name:<14}{r['kind']:<12}{r['calls']:>9}{r['seconds'] / r['calls'] * 1e6:>9.2f}"
                  f"{r['traced_growth'] / kib:>12.1f}{r['rss_growth'] / kib:>9.0f}"
                  f"{'moved' if r['refcount_changes'] else 'same':>11}"
                  f"{'same' if r['stored_unchanged'] else 'CHANGED':>10}{'  <- leak' if leak else ''}")
            if leak:
                bad.append((name, f"{r['kind']}: {r}"))
    print("-" * len(header))
    print(f"{elapsed:.0f} s in all; allowances: traced {args.traced_allowance // kib} KiB, "
          f"RSS {args.rss_allowance // kib} KiB per model and kind")
    for name, text in bad:
        print(f"\n{name}: {text}")
    return 1 if bad else 0


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child-fuzz":
        name, examples, argument_examples, batch, progress = sys.argv[2:7]
        print(json.dumps(child_fuzz(name, int(examples), int(argument_examples), int(batch), progress)))
        return 0
    if len(sys.argv) > 1 and sys.argv[1] == "--child-flowsheet":
        path, rows, seed, progress = sys.argv[2:6]
        print(json.dumps(child_flowsheet(path, int(rows), int(seed), progress)))
        return 0
    if len(sys.argv) > 1 and sys.argv[1] == "--child-leaks":
        print(json.dumps(child_leaks(sys.argv[2], int(sys.argv[3]))))
        return 0

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    fuzz = sub.add_parser("fuzz", help="hypothesis fuzzing of every model, counted")
    fuzz.add_argument("--examples", type=int, default=100_000, help="value examples per model")
    fuzz.add_argument("--batch", type=int, default=4, help="value examples per hypothesis test case")
    fuzz.add_argument("--argument-examples", type=int, default=5_000,
                      help="examples of arguments of any kind per model")
    leaks = sub.add_parser("leaks", help="memory and reference counts over many calls")
    leaks.add_argument("--calls", type=int, default=1_000_000, help="calls per model and kind")
    leaks.add_argument("--traced-allowance", type=int, default=64 * 1024)
    leaks.add_argument("--rss-allowance", type=int, default=4 * 1024 * 1024)
    for p in (fuzz, leaks):
        p.add_argument("--jobs", type=int, default=2, help="models run at the same time")
        p.add_argument("models", nargs="*", help="models to run (default: all installed)")
    plants = sub.add_parser("flowsheets", help="hostile values in every varied slot of the example plants")
    plants.add_argument("--rows", type=int, default=20_000, help="hostile rows per plant")
    plants.add_argument("--seed", type=int, default=0)
    plants.add_argument("--timeout", type=float, default=600.0, help="seconds a plant may take")
    plants.add_argument("plants", nargs="*", help="plant files (default: examples/*.toml)")
    args = parser.parse_args()
    return {"fuzz": run_fuzz, "leaks": run_leaks, "flowsheets": run_flowsheets}[args.command](args)


if __name__ == "__main__":
    sys.exit(main())
