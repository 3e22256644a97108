"""Long robustness runs over every model, with a summary table.

    python tools/robustness.py fuzz  [--examples 100000] [--argument-examples 10000] [--jobs 2] [MODEL ...]
    python tools/robustness.py leaks [--calls 1000000] [--jobs 2] [MODEL ...]
    python tools/robustness.py flowsheets [--rows 20000] [--timeout 600] [PLANT.toml ...]
    python tools/robustness.py hostile [--seed 0] [--jobs 2] [--timeout 60] [--memory BYTES]

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
per cubic metre of no product) are counted for information. `hostile` writes
hostile plant files (counts far beyond any plant, integers beyond a double,
NaN and infinities, names ending in a newline, nesting thousands deep, files
without end, random mutations of a sound plant) and hostile command lines
(bounds whose span overflows, bad seeds and counts, pictures that cannot be
written, a closed pipe, an ASCII or strict UTF-8 output) and runs each under a
time and memory limit: a traceback, an exit status other than 0 or 2 (141 for
a closed pipe), more than one line on standard error with status 2 or no
answer in time is a finding. The exit status is 1 when anything was found.
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


# A vessel count in a row is a whole number (else the whole batch is refused) or not finite (flagged).
HOSTILE_VESSELS = (float("nan"), float("inf"), -float("inf"), 1.0, 2.0, 1000.0, 100_000.0)


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
    for name, node in fs.thermal.items():
        names.append(f"{name}.{node.setting}")
        values.append(float(node.value))
    for name, array in fs.arrays.items():
        for k, vessels in enumerate(array.vessels, 1):
            names.append(f"{name}.stage{k}.vessels")
            values.append(float(vessels))
            counts.add(names[-1])
            if k > 1:
                names += [f"{name}.stage{k}.booster_bar", f"{name}.stage{k}.booster_efficiency"]
                values += [float(array.boosters[k - 1]), float(array.booster_efficiency[k - 1])]
        names += [f"{name}.element_area", f"{name}.element_pressure_drop_bar"]
        values += [float(array.element_area), float(array.element_pressure_drop_bar)]
    for feed_name, feed in fs.feeds.items():
        for quantity in ("flow", "temperature_c", "pressure_bar", *fs.components):
            names.append(f"{feed_name}.{quantity}")
            values.append(float(feed.values[quantity]))
    return names, values, counts


def child_flowsheet(path, rows, seed, progress_path):
    import numpy as np

    import hydrokit.flowsheet
    from hydrokit.flowsheet import FlowsheetError

    fs = hydrokit.flowsheet.load_plant(path)
    names, start_values, counts = flowsheet_variables(fs)
    rng = np.random.default_rng(seed)
    matrix = np.tile(np.array(start_values, dtype=np.float64), (rows, 1))
    for i in range(rows):
        for j in rng.choice(len(names), size=int(rng.integers(1, 5)), replace=False):
            pool = (HOSTILE_VESSELS if names[j].endswith(".vessels") else HOSTILE_COUNTS) if names[j] in counts \
                else HOSTILE
            matrix[i, j] = pool[int(rng.integers(len(pool)))]
    # A finite outlet pressure setting below ambient refuses the whole batch (one line, by design):
    # such slots get ambient or above, or a NaN or an infinity, which must flag the row.
    for column in fs.plan(tuple(names)).floors:
        low = matrix[:, column] < fs.ambient_pressure_bar
        matrix[low, column] = fs.ambient_pressure_bar
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
        finite = all(np.isfinite(list(values.values())))
        try:
            row = fs.solve(**values).row
        except FlowsheetError as exc:
            if not finite and "finite" in str(exc):
                continue  # solve refuses a NaN or an infinity with one line; the sweep row is flagged
            found["raised"] += 1
            first.setdefault("raised", f"solve raised {type(exc).__name__}: {exc}: {values!r}")
            continue
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
    # So must a NaN or an infinity given in the row itself.
    stream_bad = stream_bad | ~np.all(np.isfinite(matrix), axis=1)
    unflagged = int(np.count_nonzero(stream_bad & clean))
    if unflagged:
        found["unflagged stream"] = unflagged
        i = int(np.flatnonzero(stream_bad & clean)[0])
        first["unflagged stream"] = f"row {i}: a value or a stream is not finite but the row is clean: " \
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


# ---- hostile plant files and command lines ------------------------------------------


HOSTILE_NUMBERS = ("1" + "0" * 400, "99999999999999999999", "-99999999999999999999", "nan", "inf", "-inf",
                   "1e308", "-1e308", "5e-324", "0", "-0.0", "true", '"text"', "[1, 2]", "{ a = 1 }", "1e-400")
HOSTILE_NAMES = ('"hp\\n"', '"x y"', '"' + "n" * 100_000 + '"', "kpi", '"é"', '"a.b"', "tear", '""')
HOSTILE_OUT = ("noext", "outdir", "/dev/full", "x.nope", "missing/dir/x.png", "")


def _plant(feeds="", units="", mixers="", splitters="", connect=(), products="", top=""):
    lines = [top, 'components = ["salt"]', "connect = [" + ", ".join(f'"{c}"' for c in connect) + "]",
             feeds, units, mixers, splitters, products]
    return "\n".join(line for line in lines if line) + "\n"


SEAWATER = _plant("[feeds.sea]\nflow = 1e-3\nsalt = 35000",
                  '[units.hp]\nmodel = "pump"\npressure_rise_bar = 59\n[units.ro]\nmodel = "osmolumped"\n'
                  'membrane_area = 54.3\nmass_transfer_coeff = 1e-4',
                  connect=("sea -> hp.inlet", "hp.outlet -> ro.feed"), products='[products]\nwater = "ro.permeate"')


def _chain(n):
    units = "\n".join(f'[units.p{i}]\nmodel = "pump"\npressure_rise_bar = 0.01' for i in range(n))
    return _plant("[feeds.w]\nflow = 1e-3\nsalt = 10", units,
                  connect=["w -> p0"] + [f"p{i - 1} -> p{i}" for i in range(1, n)],
                  products=f'[products]\nout = "p{n - 1}"')


HEATED = ('connect = ["w -> hx", "hx -> cw"]\n[feeds.w]\nflow = 1e-3\ntemperature_c = 20\n'
          '[heaters.hx]\noutlet_temperature_c = 60\n[coolers.cw]\nduty_kw = 40\n[products]\nout = "cw"\n')

ARRAYED = ('components = ["salt"]\nconnect = ["w -> hp", "hp -> ro.feed"]\n[feeds.w]\nflow = 0.02\nsalt = 2000\n'
           '[units.hp]\nmodel = "pump"\npressure_rise_bar = 12\n'
           '[arrays.ro]\nmodel = "osmolumped"\nstages = [[4, 6], [2, 6]]\nelement_area = 37\n'
           'permeability = 1.1e-11\nsalt_permeability = 1.5e-8\nmass_transfer_coeff = 6e-5\n'
           '[arrays.ro.stage2]\nbooster_bar = 2\n[products]\nwater = "ro.permeate"\n')


def _many_arrays(n, elements):
    body = "".join(f'[arrays.r{i}]\nmodel = "osmolumped"\nstages = [[1, {elements}]]\nelement_area = 37\n'
                   for i in range(n))
    return 'components = ["salt"]\n' + body


def hostile_heat_and_array_texts():
    """Hostile heater, cooler and array plant files: settings, counts and shapes."""
    cases = []
    for value in HOSTILE_NUMBERS:
        cases.append((f"heater outlet_temperature_c = {value[:12]}",
                      HEATED.replace("outlet_temperature_c = 60", f"outlet_temperature_c = {value}")))
        cases.append((f"cooler duty_kw = {value[:12]}", HEATED.replace("duty_kw = 40", f"duty_kw = {value}")))
        for old in ("element_area = 37", "booster_bar = 2", "permeability = 1.1e-11"):
            key = old.split(" = ")[0]
            cases.append((f"array {key} = {value[:12]}", ARRAYED.replace(old, f"{key} = {value}")))
        cases.append((f"array vessels = {value[:12]}", ARRAYED.replace("[[4, 6], [2, 6]]", f"[[{value}, 6], [2, 6]]")))
        cases.append((f"array elements = {value[:12]}", ARRAYED.replace("[[4, 6], [2, 6]]", f"[[4, {value}], [2, 6]]")))
        cases.append((f"array datasheet = {value[:12]}", ARRAYED.replace(
            "permeability = 1.1e-11\nsalt_permeability = 1.5e-8\n", "") + "[arrays.ro.datasheet]\n"
            f"permeate_flow_m3d = {value}\nsalt_rejection = 0.995\npressure_bar = 15.5\nconcentration = 2000\n"
            "recovery = 0.15\n"))
        cases.append((f"array design_temperature_c = {value[:12]}",
                      ARRAYED.replace("element_area = 37", f"element_area = 37\ndesign_temperature_c = {value}")))
    for shape in ("[[4, 100000000000]]", "[[100000000000, 6]]", "[[4, 6]] ", "[]", "[[4]]", "[[4, 6, 1]]", "4",
                  "[[4, 51]]", "[" + ", ".join(["[1, 6]"] * 34) + "]", "[" + ", ".join(["[1, 1]"] * 100_000) + "]",
                  '"4x6"', "[[[4, 6]]]"):
        cases.append((f"array stages = {shape[:16]}", ARRAYED.replace("[[4, 6], [2, 6]]", shape)))
    cases.append(("101 arrays of 200 elements", _many_arrays(101, 50).replace("[[1, 50]]", "[[1, 50], [1, 50], [1, 50], [1, 50]]")))
    cases.append(("20001 heaters", "".join(f"[heaters.h{i}]\nduty_kw = 1\n" for i in range(20_001))))
    for body in ("outlet_temperature_c = 60\nduty_kw = 4", "", "power = 1", "outlet_temperature_c = [60]"):
        cases.append((f"heater {body[:20]!r}", HEATED.replace("outlet_temperature_c = 60", body)))
    for text in ("heaters = 1\n", "coolers = [1]\n", "arrays = \"ro\"\n", "[arrays.ro]\nstages = [[1, 1]]\n",
                 '[arrays.ro]\nmodel = "pump"\nstages = [[1, 1]]\nelement_area = 37\n'):
        cases.append((f"section {text[:16]!r}", text))
    cases.append(("array booster on stage 1", ARRAYED.replace("[arrays.ro.stage2]", "[arrays.ro.stage1]")))
    cases.append(("array stage 9 setting", ARRAYED.replace("[arrays.ro.stage2]", "[arrays.ro.stage9]")))
    return cases


def hostile_plant_texts(rng):
    """(label, text or None for a special path) of hostile plant files: the reported cases and
    their neighbours, then random mutations of a sound plant."""
    cases = []
    for count in ("100000000000", "1000000", "10001", "1" + "0" * 30, "-1", "0", "1.5", "true", '"2"'):
        cases.append((f"mixer inlets = {count[:12]}", _plant(
            "[feeds.a]\nflow = 1e-3", '[units.hp]\nmodel = "pump"', f"[mixers.m]\ninlets = {count}",
            connect=("a -> m.inlet1", "m -> hp"))))
    for n in (100_000, 10_001):
        cases.append((f"splitter of {n} outlets", _plant(
            "[feeds.a]\nflow = 1e-3", splitters="[splitters.s]\nfractions = [" + ", ".join(["0.0"] * (n - 1) + ["1.0"]) + "]",
            connect=("a -> s",))))
    for n in (980, 3000, 20_001):
        cases.append((f"chain of {n} units", _chain(n)))
    cases.append(("40000 components", 'components = [' + ", ".join(f'"c{i}"' for i in range(40_000)) + "]\n"))
    for depth in (5000, 400, 17):
        cases.append((f"array nested {depth} deep", "title = 1\nx = " + "[" * depth + "]" * depth + "\n"))
        cases.append((f"table nested {depth} deep", "x = " + "{ a = " * depth + "1" + " }" * depth + "\n"))
    for value in HOSTILE_NUMBERS:
        for where in ("flow", "salt", "pressure_rise_bar", "max_iterations", "tolerance", "fraction"):
            text = SEAWATER
            if where == "flow":
                text = text.replace("flow = 1e-3", f"flow = {value}")
            elif where == "salt":
                text = text.replace("salt = 35000", f"salt = {value}")
            elif where == "pressure_rise_bar":
                text = text.replace("pressure_rise_bar = 59", f"pressure_rise_bar = {value}")
            elif where == "fraction":
                text = _plant("[feeds.a]\nflow = 1e-3", '[units.hp]\nmodel = "pump"',
                              splitters=f"[splitters.s]\nfractions = [{value}, 0.5]", connect=("a -> s", "s.outlet1 -> hp"))
            else:
                text = f"{where} = {value}\n" + text
            cases.append((f"{where} = {value[:12]}", text))
    for name in HOSTILE_NAMES:
        cases.append((f"unit named {name[:12]}", SEAWATER.replace("[units.hp]", f"[units.{name}]")))
        cases.append((f"product named {name[:12]}", SEAWATER.replace("water = ", f"{name} = ")))
        cases.append((f"component named {name[:12]}", SEAWATER.replace('components = ["salt"]',
                                                                        f'components = [{name if name.startswith(chr(34)) else repr(name)}]')))
    cases.append(("product named like a unit", SEAWATER.replace("water = ", "hp = ")))
    for line in ("a -> b -> c", "->", "sea -> sea", "hp.outlet -> hp.inlet", "sea -> nowhere.inlet", "ro -> hp"):
        cases.append((f"connect {line}", SEAWATER.replace('"hp.outlet -> ro.feed"', f'"{line}"')))
    cases.append(("tear of a feed", SEAWATER + '[tears."sea"]\n'))
    cases.append(("tear outside a cycle", SEAWATER + '[tears."hp.outlet"]\nflow = nan\n'))
    cases.append(("empty file", ""))
    cases.append(("bytes 0xff", None))
    cases.append(("longer than the limit", None))
    cases.append(("/dev/zero", None))
    cases.append(("a directory", None))
    cases += hostile_heat_and_array_texts()
    # Random mutations of the sound plant: a number, a name or a line replaced.
    tokens = ["1e-3", "35000", "59", "54.3", "1e-4", '"pump"', '"osmolumped"', "sea", "hp", "ro", '"ro.permeate"']
    pool = [*HOSTILE_NUMBERS, *HOSTILE_NAMES, '"ro.concentrate"', '"nope"', "[", "]", "=", "\n", "#"]
    for k in range(rng.integers(150, 200)):
        text = SEAWATER
        for _ in range(int(rng.integers(1, 4))):
            old = tokens[int(rng.integers(len(tokens)))]
            new = pool[int(rng.integers(len(pool)))]
            text = text.replace(old, new, 1)
        cases.append((f"mutation {k}", text))
    # And of the heated and the arrayed plant.
    tokens = ["60", "40", "1e-3", "0.02", "2000", "12", "[[4, 6], [2, 6]]", "37", "2\n", '"osmolumped"', "hx", "cw",
              "ro", "stage2", '"ro.permeate"']
    for k in range(rng.integers(60, 80)):
        text = HEATED if k % 2 else ARRAYED
        for _ in range(int(rng.integers(1, 4))):
            text = text.replace(tokens[int(rng.integers(len(tokens)))], pool[int(rng.integers(len(pool)))], 1)
        cases.append((f"heat/array mutation {k}", text))
    return cases


def hostile_command_lines(plant, hostile_plant, workdir):
    """(label, argv, stdout closed?, environment changes) of hostile command lines."""
    lines = []
    heated, arrayed = os.path.join(workdir, "heated.toml"), os.path.join(workdir, "arrayed.toml")
    Path(heated).write_text(HEATED, encoding="utf-8")
    Path(arrayed).write_text(ARRAYED, encoding="utf-8")
    for value in ("nan", "inf", "1e400", "1" + "0" * 400, "None", "", "0x10", "-1e308"):
        lines.append((f"flowsheet hp.pressure_rise_bar={value[:12]}", ["flowsheet", plant, f"hp.pressure_rise_bar={value}"]))
        lines.append((f"costs sea.salt={value[:12]}", ["costs", plant, f"sea.salt={value}", "--json"]))
        lines.append((f"pump feed_flow={value[:12]}", ["pump", f"feed_flow={value}"]))
    for bounds in ("-1e308:1e308", "1:1", "nan:1", "1e400:1e401", "2:1", "40:70:5"):
        lines.append((f"optimize --vary {bounds}", ["optimize", plant, "--vary", f"hp.pressure_rise_bar={bounds}"]))
        lines.append((f"plot pump head_m={bounds}", ["plot", "pump", f"head_m={bounds}", "--y", "power_kw",
                                                       "--out", os.path.join(workdir, "p.png")]))
    for seed in ("-1", "1.5", "1" + "0" * 30, "99999999999999999999"):
        lines.append((f"optimize --seed {seed[:12]}", ["optimize", plant, "--vary", "hp.pressure_rise_bar=40:70",
                                                         "--seed", seed]))
    for out in HOSTILE_OUT:
        target = out if out.startswith("/") or not out else os.path.join(workdir, out)
        lines.append((f"map --out {out}", ["map", plant, "--vary", "hp.pressure_rise_bar=40:70:5",
                                           "--vary", "sea.salt=30000:40000:5", "--out", target]))
    for count in ("0", "1" + "0" * 30, "1001", "x"):
        lines.append((f"map COUNT {count[:12]}", ["map", plant, "--vary", f"hp.pressure_rise_bar=40:70:{count}",
                                                 "--vary", "sea.salt=30000:40000:5", "--out", os.path.join(workdir, "m.png")]))
    for setting in ("electricity_price=nan", "electricity_price=1e400", "class.hp=nope", "class.nope=pump", "wacc=1e-320",
                    "plant_lifetime=1e-320", "unit_classes=5"):
        lines.append((f"costs --set {setting}", ["costs", plant, "--set", setting]))
    for digits in ("1" + "0" * 30, "-1", "x" * 5000):
        lines.append((f"--digits {digits[:12]}", ["pump", "--digits", digits]))
    for name in ("ro.stage1.vessels", "ro.stage2.booster_bar", "ro.element_area", "ro.permeability"):
        for value in ("nan", "inf", "1e400", "0.5", "1" + "0" * 30):
            lines.append((f"array {name}={value[:12]}", ["flowsheet", arrayed, f"{name}={value}"]))
    for value in ("nan", "-inf", "1e400", "-1"):
        lines.append((f"heater hx.outlet_temperature_c={value}", ["flowsheet", heated, f"hx.outlet_temperature_c={value}"]))
        lines.append((f"cooler cw.duty_kw={value}", ["flowsheet", heated, f"cw.duty_kw={value}"]))
    lines.append(("optimize vessel counts 0:1e30", ["optimize", arrayed, "--vary", "ro.stage1.vessels=0:1e30"]))
    lines.append(("flowsheet /dev/zero", ["flowsheet", "/dev/zero"]))
    lines.append(("flowsheet hostile file", ["flowsheet", hostile_plant]))
    lines.append(("unknown option", ["costs", plant, "--nope"]))
    lines.append(("a plant path with byte 0xff", ["flowsheet", os.fsdecode(b"/tmp/\xffplant.toml")]))
    cases = [(label, argv, False, {}) for label, argv in lines]
    # Every command into a closed pipe, and with an ASCII or strict UTF-8 output.
    for argv in (["flowsheet", plant], ["costs", plant], ["costs", plant, "--json"],
                 ["optimize", plant, "--vary", "hp.pressure_rise_bar=40:70"], ["pump"], [], ["pump", "--help"],
                 ["flowsheet", plant, "--json"]):
        cases.append((f"{' '.join(argv[:1]) or 'list'} | closed pipe", argv, True, {}))
        cases.append((f"{' '.join(argv[:1]) or 'list'} to ASCII", argv, False, {"PYTHONIOENCODING": "ascii"}))
        cases.append((f"{' '.join(argv[:1]) or 'list'} to UTF-8", argv, False, {"PYTHONIOENCODING": "utf-8"}))
    return cases


def _run_limited(argv, timeout, memory, closed=False, env=None):
    """(status, stderr, seconds, peak resident KiB) of one command, under a time and memory limit."""
    import resource
    import signal
    import threading

    def limits():
        resource.setrlimit(resource.RLIMIT_AS, (memory, memory))
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)

    read, write = os.pipe()
    if closed:
        os.close(read)
    with tempfile.TemporaryFile() as err, tempfile.TemporaryFile() as out:
        started = time.perf_counter()
        proc = subprocess.Popen([sys.executable, "-m", "hydrokit", *argv], stdin=subprocess.DEVNULL,
                                stdout=write if closed else out, stderr=err, preexec_fn=limits,
                                env={**os.environ, **(env or {})})
        os.close(write)
        if not closed:
            os.close(read)
        timer = threading.Timer(timeout, proc.kill)
        timer.start()
        _, status, usage = os.wait4(proc.pid, 0)
        timer.cancel()
        proc.returncode = os.waitstatus_to_exitcode(status)
        seconds = time.perf_counter() - started
        err.seek(0)
        return proc.returncode, err.read().decode("utf-8", "replace"), seconds, usage.ru_maxrss


def run_hostile(args):
    import numpy as np

    rng = np.random.default_rng(args.seed)
    work = tempfile.mkdtemp(prefix="hydrokit-hostile-")
    os.mkdir(os.path.join(work, "outdir"))
    files = []
    for k, (label, text) in enumerate(hostile_plant_texts(rng)):
        path = os.path.join(work, f"plant{k}.toml")
        if label == "bytes 0xff":
            Path(path).write_bytes(b"title = \"\xff\"\n")
        elif label == "longer than the limit":
            Path(path).write_bytes(b"# padding\n" * (17 * 1024 * 1024 // 10))
        elif label == "/dev/zero":
            path = "/dev/zero"
        elif label == "a directory":
            path = os.path.join(work, "outdir")
        else:
            Path(path).write_text(text, encoding="utf-8")
        files.append((label, path))
    plant = os.path.join(work, "seawater.toml")
    Path(plant).write_text(SEAWATER, encoding="utf-8")
    cases = [(f"plant file: {label}", ["flowsheet", path], False, {}) for label, path in files]
    cases += [(f"command: {label}", argv, closed, env)
              for label, argv, closed, env in hostile_command_lines(plant, files[0][1], work)]
    print(f"hostile: {len(files)} plant files and {len(cases) - len(files)} command lines, {args.jobs} at a time, "
          f"limits {args.timeout:g} s and {args.memory // 2**20} MiB each", flush=True)

    def one(case):
        label, argv, closed, env = case
        return case, _run_limited(argv, args.timeout, args.memory, closed, env)

    with ThreadPoolExecutor(args.jobs) as pool:
        outcomes = list(pool.map(one, cases))
    counts = {"exit 0": 0, "exit 2": 0, "exit 141": 0}
    bad = []
    slowest = (0.0, "")
    largest = (0, "")
    for (label, argv, closed, env), (status, err, seconds, rss) in outcomes:
        slowest = max(slowest, (seconds, label))
        largest = max(largest, (rss, label))
        allowed = (0, 2, 141) if closed else (0, 2)
        problems = []
        if "Traceback" in err:
            problems.append("traceback")
        if status not in allowed:
            problems.append(f"exit status {status}")
        if status == 2 and len(err.strip().splitlines()) != 1:
            problems.append(f"{len(err.strip().splitlines())} lines on standard error")
        if seconds >= args.timeout:
            problems.append("no answer within the time limit")
        if problems:
            bad.append((label, ", ".join(problems), err.strip()[-600:]))
        else:
            counts[f"exit {status}"] += 1
    print(f"\n{'cases':<10}{'exit 0':>8}{'exit 2':>8}{'exit 141':>10}{'findings':>10}"
          f"{'slowest s':>11}{'peak MiB':>10}")
    print(f"{len(outcomes):<10}{counts['exit 0']:>8}{counts['exit 2']:>8}{counts['exit 141']:>10}{len(bad):>10}"
          f"{slowest[0]:>11.2f}{largest[0] / 1024:>10.0f}")
    print(f"slowest: {slowest[1]}; largest: {largest[1]}")
    for label, problem, err in bad:
        print(f"\n{label}: {problem}\n{err}")
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
    hostile = sub.add_parser("hostile", help="hostile plant files and command lines: one line, status 0 or 2")
    hostile.add_argument("--seed", type=int, default=0)
    hostile.add_argument("--jobs", type=int, default=2, help="commands run at the same time")
    hostile.add_argument("--timeout", type=float, default=60.0, help="seconds a command may take")
    hostile.add_argument("--memory", type=int, default=2 * 2**30, help="bytes of address space a command may use")
    args = parser.parse_args()
    return {"fuzz": run_fuzz, "leaks": run_leaks, "flowsheets": run_flowsheets,
            "hostile": run_hostile}[args.command](args)


if __name__ == "__main__":
    sys.exit(main())
