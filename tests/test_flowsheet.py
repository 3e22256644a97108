"""Flowsheets: chains equal hand chains bit for bit, mixers and splitters conserve,
recycles converge from any start and say when they do not, sweeps equal solves,
and every build mistake is named."""

import math

import numpy as np
import pytest

import hydrokit
from conftest import same_bits
from hydrokit.flowsheet import FlowsheetError
from hydrokit.layout import layout


def chain(salt=35000.0, flow=1e-3, rise=59.0):
    fs = hydrokit.Flowsheet(components=["salt"])
    fs.feed("sea", flow=flow, temperature_c=21.5, pressure_bar=1.2, salt=salt)
    fs.unit("hp", "pump", pressure_rise_bar=rise, pump_efficiency=0.8)
    fs.unit("ro", "osmolumped", membrane_area=54.3)
    fs.unit("erd", "recoupsimple", recovery_efficiency=0.95)
    fs.connect("sea", "hp.inlet")
    fs.connect("hp.outlet", "ro.feed")
    fs.connect("ro.concentrate", "erd.inlet")
    fs.product("water", "ro.permeate")
    return fs


def by_hand(salt, flow, rise):
    """The same chain through run and the named layouts, as a user would write it."""
    pump, ro, erd = layout("pump"), layout("osmolumped"), layout("recoupsimple")
    u, p = pump.vectors(feed_flow=flow, temperature_c=21.5, inlet_pressure_bar=1.2, component1_conc=salt,
                        component2_conc=0, component3_conc=0, component4_conc=0, component_count=1,
                        pressure_rise_bar=rise, pump_efficiency=0.8)
    hp = pump.outputs(pump.module.run(u, p), p)
    u, p = ro.vectors(feed_flow=hp["flow"], temperature_c=hp["temperature_c"],
                      feed_pressure_bar=hp["outlet_pressure_bar"], feed_salinity=hp["component1_conc"] / 1000.0,
                      membrane_area=54.3)
    r = ro.outputs(ro.module.run(u, p))
    u, p = erd.vectors(feed_flow=r["concentrate_flow"], temperature_c=hp["temperature_c"],
                       inlet_pressure_bar=hp["outlet_pressure_bar"], component1_conc=r["concentrate_salinity"] * 1000.0,
                       component2_conc=0, component3_conc=0, component4_conc=0, component_count=1,
                       recovery_efficiency=0.95)
    e = erd.outputs(erd.module.run(u, p), p)
    streams = {
        "ro.permeate": [r["permeate_flow"], hp["temperature_c"], 1.0, r["permeate_salinity"] * 1000.0],
        "erd.outlet": [e["flow"], e["temperature_c"], e["outlet_pressure_bar"], e["component1_conc"]],
    }
    return {"hp": hp, "ro": r, "erd": e}, streams


@pytest.mark.parametrize("salt, flow, rise", [(35000.0, 1e-3, 59.0), (2000.0, 3e-4, 14.0), (0.0, 0.0, 5.0)])
def test_chain_equals_hand_chain(salt, flow, rise):
    res = chain().solve(**{"sea.salt": salt, "sea.flow": flow, "hp.pressure_rise_bar": rise})
    outputs, streams = by_hand(salt, flow, rise)
    for unit, expected in outputs.items():
        assert same_bits(list(res.outputs(unit).values()), list(expected.values())), unit
    for name, expected in streams.items():
        assert same_bits(list(res.stream(name).values()), expected), name
    # The RO's own feed pump is not counted: the pump unit feeds it.
    power = outputs["hp"]["pump_power_kw"] - outputs["erd"]["reclaimed_power_kw"]
    assert same_bits(res.kpis["electric_power_kw"], power)
    assert res.converged and res.iterations == 0


def test_mixer_and_splitter_conserve():
    fs = hydrokit.Flowsheet(components=["salt", "tss"])
    fs.feed("a", flow=3e-4, temperature_c=12.0, pressure_bar=2.5, salt=900.0, tss=4.0)
    fs.feed("b", flow=7e-4, temperature_c=31.0, pressure_bar=1.5, salt=35000.0, tss=0.25)
    fs.feed("dry", flow=0.0, temperature_c=80.0, pressure_bar=0.1, salt=1e9, tss=0.0)
    fs.mixer("mix", inlets=3)
    fs.splitter("split", fractions=[0.2, 0.3, 0.5])
    fs.unit("hp", "pump", pressure_rise_bar=3)
    for i, feed in enumerate("a b dry".split(), 1):
        fs.connect(feed, f"mix.inlet{i}")
    fs.connect("mix", "split")
    fs.connect("split.outlet3", "hp")
    res = fs.solve(**{"split.fraction1": 0.15})
    out = res.stream("mix")
    # A stream without flow takes no part, even carrying a NaN (as a sweep row may).
    row = fs.evaluate(["split.fraction1", "dry.tss"], [[0.15, math.nan]])
    assert row["mix.outlet.tss"][0] == out["tss"] and row["flagged"][0] == 1  # the feed counts
    feeds = [res.stream(f) for f in ("a", "b")]
    assert math.isclose(out["flow"], sum(f["flow"] for f in feeds), rel_tol=1e-15)
    for q in ("salt", "tss", "temperature_c"):  # a stream without flow takes no part
        assert math.isclose(out["flow"] * out[q], sum(f["flow"] * f[q] for f in feeds), rel_tol=1e-14)
    assert out["pressure_bar"] == 1.5  # the lowest inlet that flows
    parts = [res.stream(f"split.outlet{i}") for i in (1, 2, 3)]
    assert math.isclose(sum(p["flow"] for p in parts), out["flow"], rel_tol=1e-15)
    assert parts[0]["flow"] == 0.15 * out["flow"]
    for p in parts:
        assert [p[q] for q in ("temperature_c", "pressure_bar", "salt", "tss")] == \
            [out[q] for q in ("temperature_c", "pressure_bar", "salt", "tss")]
    # No flow at all: the plain mean, the lowest pressure of all.
    still = fs.solve(**{"a.flow": 0.0, "b.flow": 0.0, "dry.tss": 1.0})
    assert still.stream("mix")["flow"] == 0.0
    assert still.stream("mix")["temperature_c"] == (12.0 + 31.0 + 80.0) / 3
    assert still.stream("mix")["pressure_bar"] == 0.1
    with pytest.raises(FlowsheetError, match="splitter 'split', row 1"):
        fs.sweep({"split.fraction1": [0.1, 0.8], "split.fraction2": [0.3, 0.3]})


def two_pass(**options):
    fs = hydrokit.Flowsheet(components=["salt"], **options)
    fs.feed("raw", flow=1e-3, temperature_c=20, pressure_bar=1, salt=2000)
    fs.mixer("mix", inlets=2)
    fs.unit("hp1", "pump", pressure_rise_bar=14, pump_efficiency=0.8)
    fs.unit("ro1", "osmolumped", membrane_area=30)
    fs.unit("hp2", "pump", pressure_rise_bar=8, pump_efficiency=0.8)
    fs.unit("ro2", "osmolumped", membrane_area=20)
    fs.connect("raw", "mix.inlet1")
    fs.connect("mix", "hp1")
    fs.connect("hp1", "ro1.feed")
    fs.connect("ro1.permeate", "hp2")
    fs.connect("hp2", "ro2.feed")
    fs.connect("ro2.concentrate", "mix.inlet2")
    fs.product("water", "ro2.permeate")
    return fs


def test_recycle_same_answer_from_any_start_and_honest_cap():
    fs = two_pass()
    assert fs.plan().tears == ("ro2.concentrate",)
    base = fs.solve()
    assert base.converged and 1 < base.iterations <= 15 and base.residual <= 1e-10
    for flow, salt in [(1e-4, 300.0), (2e-3, 0.0), (5e-4, 5e4)]:
        other = fs.solve(**{"tear.ro2.concentrate.flow": flow, "tear.ro2.concentrate.salt": salt})
        assert other.converged
        for q, v in base.stream("water").items():
            assert math.isclose(other.stream("water")[q], v, rel_tol=1e-8), q
    # The loop closes: what leaves ro2 is what entered the mixer.
    assert math.isclose(base.stream("mix")["flow"], 1e-3 + base.stream("ro2.concentrate")["flow"], rel_tol=1e-9)
    capped = two_pass(max_iterations=3).solve()
    assert not capped.converged and capped.iterations == 3 and capped.residual > 1e-10
    # Naming the tear elsewhere in the loop gives the same plant.
    named = two_pass()
    named.tear("hp1.outlet", flow=1e-3, pressure_bar=15, temperature_c=20, salt=2000)
    res = named.solve()
    assert named.plan().tears == ("hp1.outlet",) and res.converged
    assert math.isclose(res.kpis["product_flow"], base.kpis["product_flow"], rel_tol=1e-8)


def test_slow_rows_left_by_the_calling_thread_equal_solve():
    # Each RO call runs 2·10⁴ passes, a row some tens of ms: the calling
    # thread is stopped inside its first row's tear loop and gives it back.
    fs = two_pass()
    rows = {"raw.salt": [1500.0, 2500.0], "ro1.max_iterations": [2e4] * 2, "ro1.tolerance": [-1.0] * 2}
    table = fs.sweep(rows, threads=1)
    for i in range(2):
        row = fs.solve(**{k: v[i] for k, v in rows.items()}).row
        assert same_bits([row[c] for c in table.columns], table.iloc[i].to_numpy()), i


def test_sweep_rows_equal_solve():
    fs = two_pass()
    table = fs.sweep(**{"raw.salt": [500.0, 2000.0, 4000.0], "hp1.pressure_rise_bar": [10.0, 16.0]}, threads=2)
    assert len(table) == 6
    for i in (0, 3, 5):
        values = {"raw.salt": table["raw.salt"][i], "hp1.pressure_rise_bar": table["hp1.pressure_rise_bar"][i]}
        row = fs.solve(**values).row
        assert list(row) == list(table.columns)
        assert same_bits([row[c] for c in table.columns], table.iloc[i].to_numpy()), i
    cols = fs.evaluate(["raw.salt"], np.array([[2000.0]]))
    assert same_bits([cols[c][0] for c in cols], [fs.solve().row[c] for c in cols])
    few = ["kpi.recovery", "power.hp1", "ro2.permeate.salt", "converged", "raw.salt"]
    picked = fs.evaluate(["raw.salt"], np.array([[2000.0]]), columns=few)
    assert sorted(picked) == sorted(few) and all(same_bits(picked[c], cols[c]) for c in few)
    with pytest.raises(FlowsheetError, match="unknown column.*kpi.nope"):
        fs.evaluate(["raw.salt"], np.array([[2000.0]]), columns=["kpi.nope"])


@pytest.mark.parametrize("hostile", [{"sea.salt": float("nan")}, {"sea.temperature_c": float("inf")},
                                     {"hp.pump_efficiency": float("nan"), "sea.flow": -1.0}])
def test_hostile_values_come_out_flagged_never_clean(hostile):
    fs = chain()
    with pytest.raises(FlowsheetError, match="must be a finite number"):
        fs.solve(**hostile)
    table = fs.evaluate(list(hostile), np.array([list(hostile.values())] * 3), threads=2)
    assert table["flagged"].tolist() == [table["flagged"][0]] * 3 and table["flagged"][0] >= 1


def test_dask_rows_equal_local():
    distributed = pytest.importorskip("distributed")
    fs = two_pass()
    matrix = np.column_stack([np.linspace(500, 4000, 9), np.linspace(9, 17, 9)])
    names = ["raw.salt", "hp1.pressure_rise_bar"]
    local = fs.evaluate(names, matrix)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        remote = fs.evaluate(names, matrix, client=client, chunk_rows=4)
    assert list(remote) == list(local)
    assert all(same_bits(remote[c], local[c]) for c in local)


def _fs():
    fs = hydrokit.Flowsheet(components=["salt"])
    fs.feed("sea", flow=1e-3, salt=35000)
    fs.unit("hp", "pump", pressure_rise_bar=59)
    fs.unit("ro", "osmolumped")
    return fs


def _solve(fs, **values):
    fs.connect("sea", "hp")
    fs.connect("hp", "ro.feed")
    return fs.solve(**values)


@pytest.mark.parametrize("mistake, words", [
    (lambda fs: fs.unit("x", "pmp"), ["unknown model 'pmp'", "pump"]),
    (lambda fs: fs.unit("x", "pump", presure_rise_bar=3), ["'presure_rise_bar'", "pressure_rise_bar"]),
    (lambda fs: fs.unit("x", "pump", feed_flow=3), ["'feed_flow'", "filled by the stream at x.inlet"]),
    (lambda fs: fs.unit("x", "pump", component_count=2), ["'component_count'", "set by the flowsheet"]),
    (lambda fs: fs.unit("hp", "pump"), ["'hp' is already used"]),
    (lambda fs: fs.connect("sea", "hpp.inlet"), ["unknown name 'hpp'", "sea, hp, ro"]),
    (lambda fs: fs.connect("sea", "ro.inlet"), ["no inlet 'inlet'", "feed"]),
    (lambda fs: fs.connect("ro", "hp"), ["has outlets permeate, concentrate"]),
    (lambda fs: (fs.connect("sea", "hp"), fs.connect("sea", "ro.feed")), ["sea is already connected to hp.inlet"]),
    (lambda fs: (fs.connect("sea", "hp"), fs.connect("ro.permeate", "hp")), ["hp.inlet is already fed by sea"]),
    (lambda fs: (fs.connect("sea", "hp"), fs.solve()), ["left open: ro.feed"]),
    (lambda fs: _solve(fs, **{"hp.component_count": 2}), ["set by the flowsheet"]),
    (lambda fs: _solve(fs, **{"hp.feed_flow": 2}), ["filled by the stream at hp.inlet"]),
    (lambda fs: _solve(fs, **{"hp.nope": 2}), ["'nope'", "pressure_rise_bar"]),
    (lambda fs: _solve(fs, **{"sea.sand": 2}), ["no quantity 'sand'", "flow, temperature_c, pressure_bar, salt"]),
    (lambda fs: _solve(fs, **{"tear.ro.permeate.flow": 2}), ["tear streams: (none)"]),
    (lambda fs: (fs.tear("ro.permeate"), _solve(fs)), ["ro.permeate not in a cycle"]),
    (lambda fs: fs.splitter("s", fractions=[0.5, 0.6]), ["add up to 1"]),
    (lambda fs: fs.feed("river", temperature_c=3), ["flow (m³/s) is required"]),
])
def test_build_errors_name_what_is_wrong(mistake, words):
    with pytest.raises(FlowsheetError) as err:
        mistake(_fs())
    for w in words:
        assert w in str(err.value)


def test_components_a_model_cannot_carry():
    fs = hydrokit.Flowsheet(components=["a", "b", "c", "d", "e"])
    with pytest.raises(FlowsheetError, match="carries at most 4 component.*e cannot be carried"):
        fs.unit("hp", "pump")
    fs2 = hydrokit.Flowsheet(components=["salt", "tss"])
    with pytest.raises(FlowsheetError, match="carries at most 1 component"):
        fs2.unit("ro", "osmolumped")
    with pytest.raises(FlowsheetError, match="does not carry component.*tss"):
        fs2.unit("ro", "osmolumped", components={"feed_salinity": "salt"})
    fs2.unit("hp", "pump", components={"component1": "tss", "component3": "salt"})
    assert fs2.units["hp"].count == 3


def test_hostile_plans_are_refused_at_load():
    from hydrokit import _sweep

    plan = two_pass().plan()
    size = len(plan.state)
    # The first word of the first op of each kind; a loop's body follows its header.
    fixed = {1: 3, 2: 4, 3: 4, 4: 5}
    starts, pc = {}, 0
    while pc < len(plan.code):
        op, count = int(plan.code[pc]), int(plan.code[pc + 1])
        starts.setdefault(op, pc)
        pc += fixed[op] if op in fixed else {5: 3 + count, 6: 4 + int(plan.code[pc + 2]), 7: 3 + count}[op]
    core, loop = starts[4], starts[7]

    def load(code=None, state=None, inputs=None, outputs=None, cores=None, width=None, status=None):
        return _sweep.plan_load(np.asarray(plan.code if code is None else code, dtype=np.int64),
                                plan.state if state is None else state,
                                plan.inputs if inputs is None else np.asarray(inputs, dtype=np.int64),
                                plan.outputs if outputs is None else np.asarray(outputs, dtype=np.int64),
                                plan.cores if cores is None else cores, plan.width if width is None else width,
                                plan.status if status is None else status, 1e-10, 200)

    load()  # the plan as compiled loads
    def edit(at, value):
        code = plan.code.copy()
        code[at] = value
        return code
    hostile = [
        dict(code=edit(core + 4, size - 1)),          # a core's output past the state
        dict(code=edit(core + 4, plan.code[core + 2])),  # a core's output over its input
        dict(code=edit(core + 1, 99)),                # no such core
        dict(code=edit(loop + 2, 10**12)),            # a loop body past the code
        dict(code=edit(loop + 3, -1)),                # a tear value before the state
        dict(code=np.concatenate([plan.code, [7, 1, 0, 0]])[: len(plan.code) + 3]),  # cut inside a header
        dict(code=np.concatenate([plan.code[:loop + 3 + plan.code[loop + 1]], plan.code[loop:]])),  # loop in loop
        dict(code=[1, 0]),                            # an op cut short
        dict(code=[42]),                              # no such op
        dict(state=plan.state[:10]),
        dict(inputs=[size]), dict(outputs=[-3]), dict(status=size - 2), dict(width=2),
        dict(cores=["nosuchmodel"]),
    ]
    for i, case in enumerate(hostile):
        with pytest.raises(ValueError, match="flowsheet plan|unknown model"):
            load(**case)


def test_strong_recycle_closes_its_balances():
    # 90 % of the brine returns: plain substitution would need some 200 passes.
    fs = hydrokit.Flowsheet(components=["salt"])
    fs.feed("raw", flow=1e-3, temperature_c=20, pressure_bar=1, salt=2000)
    fs.mixer("mix", inlets=2)
    fs.unit("hp", "pump", pressure_rise_bar=14)
    fs.unit("ro", "osmolumped", membrane_area=30, mass_transfer_coeff=1e-4)
    fs.splitter("bleed", fractions=[0.9, 0.1])
    fs.connect("raw", "mix.inlet1")
    fs.connect("mix", "hp")
    fs.connect("hp", "ro.feed")
    fs.connect("ro.concentrate", "bleed")
    fs.connect("bleed.outlet1", "mix.inlet2")
    fs.product("water", "ro.permeate")
    res = fs.solve()
    assert res.converged and res.iterations <= 30
    feed, water, purge = (res.stream(s) for s in ("raw", "water", "bleed.outlet2"))
    assert math.isclose(feed["flow"], water["flow"] + purge["flow"], rel_tol=1e-9)
    assert math.isclose(feed["flow"] * feed["salt"], water["flow"] * water["salt"] + purge["flow"] * purge["salt"],
                        rel_tol=1e-8)


def test_ctrl_c_stops_a_long_flowsheet_sweep():
    import _thread
    import threading
    import time

    fs = chain()
    # 100000 passes of the RO element per row (a negative tolerance is never met): minutes of work.
    rows = {"ro.max_iterations": np.full(20_000, 1e5), "ro.tolerance": np.full(20_000, -1.0)}
    timer = threading.Timer(0.3, _thread.interrupt_main)
    start = time.perf_counter()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        fs.sweep(rows, threads=2)
    timer.join()
    assert time.perf_counter() - start < 5
