"""Long robustness runs over every model, with a summary table.

    python tools/robustness.py fuzz  [--examples 100000] [--argument-examples 10000] [--jobs 2] [MODEL ...]
    python tools/robustness.py leaks [--calls 1000000] [--jobs 2] [MODEL ...]

`fuzz` runs, per model, the hypothesis checks of tests/test_fuzz.py with the
given number of examples, and evaluates the same hostile rows again through
`hydrokit.sweep` on two threads, in batches of SWEEP_BATCH, where every row
must come out bitwise equal to `run` on it ("sweep differs" otherwise), each
model in its own process so that a crash is
counted (and its traceback kept) instead of ending the run. Findings are
counted, not stopped at, and the first example of each kind is printed as a
call that reproduces it. `leaks` makes the given number of calls of every
kind per model and prints the growth of traced memory and of the resident
size and any reference count that moved. The exit status is 1 when anything
was found.
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


def models(requested):
    from hydrokit.layout import models as installed

    names = installed()
    unknown = [m for m in requested if m not in names]
    if unknown:
        sys.exit(f"unknown model(s): {', '.join(unknown)}; installed: {', '.join(names)}")
    return list(requested) or list(names)


def spawn(argv, progress_path=None):
    """Run this script as a child; return (result or None, returncode, stderr tail, last example)."""
    proc = subprocess.run([sys.executable, "-X", "faulthandler", __file__, *argv],
                          capture_output=True, text=True)
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
    args = parser.parse_args()
    return run_fuzz(args) if args.command == "fuzz" else run_leaks(args)


if __name__ == "__main__":
    sys.exit(main())
