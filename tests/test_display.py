"""Diagrams, notebook views, display units, cost shares and the design report."""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import hydrokit
from hydrokit.costing import CostModel
from hydrokit.display.diagram import diagram
from hydrokit.display.units import convert, human
from hydrokit.flowsheet import load_plant

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
PLANTS = sorted(p.stem for p in EXAMPLES.glob("*.toml"))


def chain(n):
    """A plant of n units in series (pumps alternating with RO elements), its last permeate recycled."""
    fs = hydrokit.Flowsheet(components=["salt"])
    fs.feed("sea", flow=1e-3, salt=35000)
    fs.mixer("mix")
    fs.connect("sea", "mix.inlet1")
    prev = "mix"
    for k in range(n):
        fs.unit(f"u{k}", "pump", pressure_rise_bar=0.1)
        fs.connect(prev, f"u{k}")
        prev = f"u{k}"
    fs.splitter("split", [0.9, 0.1])
    fs.connect(prev, "split")
    fs.connect("split.outlet2", "mix.inlet2")
    fs.product("water", "split.outlet1")
    return fs


@pytest.mark.parametrize("plant", PLANTS)
def test_diagram_names_every_unit_and_draws_recycles(plant):
    fs = load_plant(EXAMPLES / f"{plant}.toml")
    res = fs.solve()
    for svg in (fs.diagram(), fs.diagram(res)):
        drawn = dict((n, k) for k, n in re.findall(r'class="(unit|array|heater|cooler)" data-name="([^"]+)"', svg))
        assert drawn == {**{n: "unit" for n in fs.units}, **{n: "array" for n in fs.arrays},
                         **{n: t.kind for n, t in fs.thermal.items()}}
        # One dashed back edge per tear stream of the plan, none otherwise.
        assert svg.count('class="recycle"') == len(fs.plan().tears)
        for product in fs.products:
            assert f'data-name="{product}"' in svg
    assert "m³/h" in fs.diagram(res) and "m³/h" not in fs.diagram()


@pytest.mark.parametrize("n", [1, 5, 30])
def test_diagram_of_a_long_chain_stays_page_wide_with_no_box_over_another(n):
    fs = chain(n)
    svg = diagram(fs, fs.solve())
    boxes = [(float(x), float(y)) for x, y in re.findall(r'<rect x="([-\d.]+)" y="([-\d.]+)" width="124"', svg)]
    assert len(boxes) == n
    for i, (x, y) in enumerate(boxes):
        for u, v in boxes[i + 1:]:
            assert abs(x - u) >= 124 or abs(y - v) >= 46
    # In flow order: left to right within a band, bands top to bottom.
    assert boxes == sorted(boxes, key=lambda b: (b[1], b[0]))
    assert float(re.search(r'width="(\d+)"', svg).group(1)) < 1700
    assert svg.count('class="recycle"') == 1


def test_finding_marks_its_unit():
    fs = load_plant(EXAMPLES / "seawater_ro.toml")
    res = fs.solve()

    class Finding:
        unit, check, severity, value, limit, units, message = "ro", "flux", "error", 50.0, 20.0, "L/(m²·h)", "too high"

    res.checks = [Finding()]
    svg = diagram(fs, res)
    ro = svg[svg.index('data-name="ro"'):]
    assert "#c62828" in ro[:ro.index("</g>")]
    html = res._repr_html_()
    assert "too high" in html and "1 error(s)" in repr(res)


@pytest.mark.parametrize("plant", PLANTS)
def test_html_views_hold_the_stream_table(plant):
    fs = load_plant(EXAMPLES / f"{plant}.toml")
    res = fs.solve()
    html = res._repr_html_()
    for stream in fs.streams():
        assert f"<td>{stream}</td>" in html
    assert "flow (m³/h)" in html and "<svg" in html
    assert all(f"<td>{u}</td>" in fs._repr_html_() for u in fs.units)
    costs = res.costs()
    assert all(f"<td>{u}</td>" in costs._repr_html_() for u in costs.by_unit)
    for text in (repr(fs), repr(res), repr(costs)):
        assert "\n" not in text and len(text) < 400


@pytest.mark.parametrize("unit, shown, op", [
    ("m³/s", "m³/h", lambda v: v * 3600.0),
    ("m³/d", "m³/h", lambda v: v / 24.0),
    ("m/s", "L/(m²·h)", lambda v: v * 3600000.0),
    ("kg/m³", "mg/L", lambda v: v * 1000.0),
    ("g/m³", "mg/L", lambda v: v),
    ("Pa", "bar", lambda v: v / 100000.0),
    ("W", "kW", lambda v: v / 1000.0),
    ("K", "°C", lambda v: v - 273.15),
])
def test_engineering_units_convert_exactly(unit, shown, op):
    values = np.random.default_rng(7).uniform(1e-7, 1e5, 200)
    got, u = convert(values, unit)
    assert u == shown and np.array_equal(got, op(values))
    assert convert(values, unit, "si") == (values, unit)


def test_result_table_in_engineering_units_is_the_si_table_converted():
    res = load_plant(EXAMPLES / "two_pass_ro.toml").solve()
    si, eng = res.table(), res.table(units="engineering")
    assert np.array_equal(eng["flow (m³/h)"].to_numpy(), si["flow (m³/s)"].to_numpy() * 3600.0)
    assert np.array_equal(eng["salt (mg/L)"].to_numpy(), si["salt (g/m³)"].to_numpy())
    assert convert(0.001, "m³/s") == (3.6, "m³/h")
    with pytest.raises(ValueError, match="engineering, si"):
        res.table(units="imperial")


@pytest.mark.parametrize("value, text", [(0.0005250245086845006 * 3600, "1.890"), (35000.0, "35000"),
                                          (9.99995, "10.00"), (-0.0224912, "-0.02249"), (1.5e-6, "1.500e-06"),
                                          (0.0, "0"), (float("inf"), "inf")])
def test_values_for_people(value, text):
    assert human(value) == text


def _in_order(parts):
    total = 0.0
    for p in parts:
        total = total + p
    return total


@pytest.mark.parametrize("plant", PLANTS)
def test_cost_shares_add_up_to_the_totals_exactly(plant):
    fs = load_plant(EXAMPLES / f"{plant}.toml")
    res = fs.solve()
    c = res.costs()
    # Arrays, heaters and coolers have shares of their own.
    assert list(c.by_unit) == [*fs.units, *fs.arrays, *fs.thermal]
    for figure, total in (("capital", c.capital_total), ("operating", c.operating_total), ("lcow", c.lcow),
                          ("sec", c.sec)):
        assert _in_order(s[figure] for s in c.by_unit.values()) == total
    # Each share is the unit's own figure up to the closing adjustment of a few units in the last place.
    hours = 8760.0 * c.params.utilisation
    for unit, s in c.by_unit.items():
        assert s["capital"] == c.capital.get(unit, 0.0)
        assert s["sec"] == pytest.approx(res.power.get(unit, 0.0) / (res.kpis["product_flow"] * 3600),
                                         rel=1e-12, abs=1e-15)
        if unit in fs.thermal:  # the exchanger's upkeep and the heat it buys (or removes)
            price = c.params.heat_price if fs.thermal[unit].kind == "heater" else c.params.cooling_price
            assert s["operating"] == pytest.approx(
                c.params.maintenance_fraction * s["capital"] + price * res.row[f"{unit}.duty_kw"] * hours, rel=1e-9)


@pytest.mark.parametrize("plant", PLANTS)
def test_cost_shares_before_closing_already_make_the_totals(plant, monkeypatch):
    # The closing step takes up rounding only: a share left out (an array's vessels, a heater's heat)
    # would otherwise vanish into the largest share unseen.
    import hydrokit.costshare as costshare

    monkeypatch.setattr(costshare, "_close", lambda parts, total: parts)
    c = load_plant(EXAMPLES / f"{plant}.toml").solve().costs()
    for figure, total in (("capital", c.capital_total), ("operating", c.operating_total), ("lcow", c.lcow),
                          ("sec", c.sec)):
        assert sum(s[figure] for s in c.by_unit.values()) == pytest.approx(total, rel=1e-12, abs=1e-12)


def test_cost_share_columns_of_a_sweep_add_up_row_by_row():
    fs = load_plant(EXAMPLES / "two_pass_ro.toml")
    rng = np.random.default_rng(0)
    matrix = np.column_stack([rng.uniform(40, 80, 500), rng.uniform(5, 60, 500)])
    table = fs.evaluate(["hp1.pressure_rise_bar", "ro1.membrane_area"], matrix)
    cols = CostModel(fs).columns(table, by_unit=True)
    plain = CostModel(fs).columns(table)
    for name in plain:  # the plant's own columns are untouched
        assert np.array_equal(cols[name], plain[name], equal_nan=True)
    for figure, total in (("lcow", "cost.lcow"), ("sec", "cost.sec"), ("operating", "cost.operating_total")):
        summed = _in_order(cols[f"cost.{figure}.{u}"] for u in fs.units)
        finite = np.isfinite(cols[total])
        assert np.array_equal(summed[finite], cols[total][finite])


def _cli(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "hydrokit", *args], capture_output=True, text=True, cwd=cwd,
                          timeout=300)


@pytest.mark.parametrize("args, message", [
    (["diagram", "examples/seawater_ro.toml"], "--out"),
    (["diagram", "examples/seawater_ro.toml", "--out", "x.gif"], ".svg, .png, .pdf"),
    (["report", "examples/seawater_ro.toml", "--out", "r.html", "--optimize", "hp.pressure_rise_bar=10"],
     "NAME=LOW:HIGH"),
    (["report", "examples/seawater_ro.toml", "--out", "r.html", "--colour"], "unknown option"),
    (["flowsheet", "examples/seawater_ro.toml", "--units", "imperial"], "si or engineering"),
    (["report", "examples/seawater_ro.toml", "--out", "r.html", "--units", "imperial"], "engineering or si"),
])
def test_display_commands_refuse_mistakes(args, message, tmp_path):
    repo = EXAMPLES.parent
    run = _cli(*[str(repo / a) if a.startswith("examples/") else str(tmp_path / a) if a.endswith(
        (".gif", ".html")) else a for a in args])
    assert run.returncode == 2 and message in run.stderr and run.stderr.count("\n") == 1


def _chromium():
    found = shutil.which("chromium") or shutil.which("chromium-browser")
    if found is None:
        if os.environ.get("CI") == "true":
            pytest.fail("chromium is not installed; .ci/run installs it")
        pytest.skip("chromium is not installed (apt-get install chromium)")
    return found


def test_report_renders_in_a_browser(tmp_path):
    browser = _chromium()
    page = tmp_path / "report.html"
    run = _cli("report", str(EXAMPLES / "two_pass_ro.toml"), "--optimize", "hp1.pressure_rise_bar=50:75",
               "--out", str(page))
    assert run.returncode == 0, run.stderr
    html = page.read_text(encoding="utf-8")
    assert "http://" not in html.replace("http://www.w3.org/2000/svg", "") and "https://" not in html
    shot = tmp_path / "shot.png"
    # The browser runs without the sanitizer runtime the sanitized test run preloads into Python.
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_PRELOAD", "PYTHONMALLOC") and not k.startswith(("ASAN_", "UBSAN_"))}
    seen = subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu", "--enable-logging=stderr",
                           "--v=0", f"--screenshot={shot}", "--window-size=1200,1600", page.as_uri()],
                          capture_output=True, text=True, timeout=120, env=env)
    assert seen.returncode == 0 and shot.exists(), seen.stderr[-2000:]
    console = [line for line in seen.stderr.splitlines() if ":CONSOLE" in line]
    assert console == []
    import matplotlib.image

    pixels = matplotlib.image.imread(shot)[:, :, :3]
    ink = np.any(pixels < 0.9, axis=2).mean()      # share of pixels that are not near white
    assert 0.01 < ink < 0.6
    assert len(np.unique(pixels.reshape(-1, 3), axis=0)) > 20


@pytest.mark.parametrize("patterns, expect", [
    ("kpi.*", lambda c: c.startswith("kpi.")),
    (["ro1.*", "flagged"], lambda c: c.startswith("ro1.") or c == "flagged"),
    ("power.hp?", lambda c: c in ("power.hp1", "power.hp2")),
])
def test_sweep_columns_by_pattern_keep_the_varied_names_and_their_units(patterns, expect):
    fs = load_plant(EXAMPLES / "two_pass_ro.toml")
    axes = {"hp1.pressure_rise_bar": [50, 60], "sea.salt": [30000.0]}
    full = fs.sweep(**axes)
    some = fs.sweep(columns=patterns, **axes)
    assert list(some) == list(axes) + [c for c in full if c not in axes and expect(c)]
    for c in some:
        assert np.array_equal(some[c].to_numpy(), full[c].to_numpy(), equal_nan=True)
    assert some.attrs["units"] == {c: full.attrs["units"][c] for c in some}


def test_sweep_units_name_every_column_of_arrays():
    units = load_plant(EXAMPLES / "brackish_array.toml").sweep(**{"hp.pressure_rise_bar": [12.0]}).attrs["units"]
    assert [c for c, u in units.items() if not u] == []
    assert (units["ro.stage2.vessels"], units["ro.max_flux_lmh"], units["ro.stage1.element2.feed_salt"]) == \
        ("count", "L/(m²·h)", "g/m³")


def test_sweep_units_name_every_column():
    fs = load_plant(EXAMPLES / "ro_md_brine.toml")
    units = fs.sweep(**{"ro.membrane_area": [40.0]}).attrs["units"]
    assert [c for c, u in units.items() if not u] == []
    assert units["heat.duty_kw"] == "kW"
    assert (units["ro.membrane_area"], units["kpi.recovery"], units["ro.permeate.flow"], units["flagged"]) == \
        ("m²", "fraction", "m³/s", "count")
    with pytest.raises(hydrokit.flowsheet.FlowsheetError, match="matches no column"):
        fs.sweep(columns="nothing.*", **{"ro.membrane_area": [40.0]})


@pytest.mark.parametrize("progress", [True, False, None])
def test_sweep_progress_changes_nothing_but_stderr(progress, capfd):
    fs = load_plant(EXAMPLES / "seawater_ro.toml")
    axes = {"hp.pressure_rise_bar": np.linspace(40, 80, 128), "ro.membrane_area": np.linspace(20, 80, 80)}
    shown = fs.sweep(progress=progress, **axes)
    capfd.readouterr()
    plain = fs.sweep(progress=False, **axes)
    err = capfd.readouterr().err
    assert err == ""
    for c in plain:
        assert np.array_equal(shown[c].to_numpy(), plain[c].to_numpy(), equal_nan=True)
    by_rows = fs.sweep({k: shown[k].to_numpy() for k in axes}, columns="kpi.*", progress=progress)
    assert np.array_equal(by_rows["kpi.recovery"].to_numpy(), plain["kpi.recovery"].to_numpy())


def test_forced_progress_reports_on_stderr_and_auto_stays_quiet_off_a_terminal(capfd):
    fs = load_plant(EXAMPLES / "seawater_ro.toml")
    axes = {"hp.pressure_rise_bar": np.linspace(40, 80, 128), "ro.membrane_area": np.linspace(20, 80, 80)}
    fs.sweep(progress=True, **axes)
    err = capfd.readouterr().err
    assert "flowsheet sweep:" in err and "10240 rows" in err
    fs.sweep(**axes)                          # pytest's stderr is not a terminal
    assert capfd.readouterr().err == ""
    with pytest.raises(TypeError, match="progress"):
        fs.sweep(progress="yes", **axes)


@pytest.mark.parametrize("ext, magic", [("svg", b"<svg"), ("png", b"\x89PNG"), ("pdf", b"%PDF")])
def test_diagram_command_writes_each_format(ext, magic, tmp_path):
    pytest.importorskip("matplotlib")
    target = tmp_path / f"plant.{ext}"
    run = _cli("diagram", str(EXAMPLES / "two_pass_ro.toml"), "--values", "--out", str(target))
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == str(target) and target.read_bytes().startswith(magic)
    if ext == "png":
        import matplotlib.image

        pixels = matplotlib.image.imread(target)[:, :, :3]
        assert 0.005 < np.any(pixels < 0.9, axis=2).mean() < 0.5


# -- edges of the pieces above ----------------------------------------------------------------------

from hypothesis import given, settings
from hypothesis import strategies as st

from hydrokit.costshare import _close
from hydrokit.display import report as report_page
from hydrokit.display.units import wants_daily


@settings(max_examples=300, deadline=None)
@given(st.lists(st.floats(-1e6, 1e6, allow_nan=False, allow_subnormal=False), min_size=1, max_size=12),
       st.floats(-1e-9, 1e-9, allow_nan=False))
def test_closing_shares_hits_any_nearby_total_exactly(parts, wobble):
    import math

    total = math.fsum(parts) * (1.0 + wobble)     # the total a plant computes its own way
    closed = _close([np.array([p]) for p in parts], np.array([total]))
    summed = _in_order(c[0] for c in closed)
    # Exact, unless the shares cancel so far that none can express the total's last place (4 + -3
    # cannot make 1 + 2⁻⁵²): then within the last place of the largest share or running sum.
    running = np.cumsum(parts)
    coarse = np.spacing(max(max(abs(p) for p in parts), np.abs(running).max()))
    assert summed == total or abs(summed - total) <= 2 * coarse
    # Only rounding-sized moves: no share changes by more than the gap and a few of those last places.
    gap = abs(total - _in_order(parts))
    for before, after in zip(parts, closed):
        assert abs(after[0] - before) <= gap + 4 * coarse


@pytest.mark.parametrize("total", [np.inf, np.nan])
def test_closing_leaves_shares_of_a_figure_that_is_not_finite(total):
    parts = [np.array([1.0, 2.0]), np.array([3.0, np.inf])]
    closed = _close(parts, np.array([total, total]))
    assert all(np.array_equal(a, b) for a, b in zip(closed, parts))


def test_costs_of_a_plant_without_product_stay_infinite_not_nan():
    fs = load_plant(EXAMPLES / "seawater_ro.toml")
    c = fs.solve(**{"sea.flow": 0.0}).costs()
    assert c.lcow == np.inf
    assert all(not np.isnan(s["capital"]) for s in c.by_unit.values())
    assert "inf" in c._repr_html_()


def test_unit_left_out_of_costing_has_no_capital_but_keeps_its_energy_share():
    from hydrokit.costing import CostParameters

    fs = load_plant(EXAMPLES / "seawater_ro.toml")
    res = fs.solve()
    c = res.costs(CostParameters(unit_classes={"hp": "none"}))
    assert c.by_unit["hp"]["capital"] == 0.0 and c.by_unit["hp"]["operating"] > 0
    assert _in_order(s["lcow"] for s in c.by_unit.values()) == c.lcow


@pytest.mark.parametrize("flow_m3s, unit, factor", [(1e-3, "m³/h", 3600.0), (0.2777, "m³/h", 3600.0),
                                                    (1000.0 / 3600.0, "m³/d", 86400.0), (5.0, "m³/d", 86400.0)])
def test_large_plants_read_per_day(flow_m3s, unit, factor):
    daily = wants_daily(flow_m3s)
    value, shown = convert(flow_m3s, "m³/s", daily=daily)
    assert shown == unit and value == flow_m3s * factor


def _parses(svg):
    import xml.etree.ElementTree as ET

    return ET.fromstring(svg)


def test_diagram_of_unfinished_and_looped_plants_still_draws():
    fs = hydrokit.Flowsheet(components=["salt"])
    assert _parses(fs.diagram()) is not None                  # nothing in it yet
    fs.feed("w", flow=1e-3, salt=500)
    fs.mixer("m1"), fs.mixer("m2")
    fs.unit("a", "pump"), fs.unit("b", "pump")
    fs.splitter("s1", [0.5, 0.5]), fs.splitter("s2", [0.5, 0.5])
    fs.connect("w", "m1.inlet1"); fs.connect("m1", "a"); fs.connect("a", "s1")
    fs.connect("s1.outlet1", "m1.inlet2")
    svg = fs.diagram()                                         # m2 open: the plan cannot compile
    assert svg.count('class="recycle"') == 1
    fs.connect("s1.outlet2", "m2.inlet1"); fs.connect("m2", "b"); fs.connect("b", "s2")
    fs.connect("s2.outlet1", "m2.inlet2"); fs.product("out", "s2.outlet2")
    res = fs.solve()
    svg = diagram(fs, res, title='A & B <loops>')
    root = _parses(svg)
    assert svg.count('class="recycle"') == 2 == len(fs.plan().tears)
    assert any(t.text == "A & B <loops>" for t in root.iter("{http://www.w3.org/2000/svg}text"))


@pytest.mark.parametrize("salt, water, kind", [(35000.0, None, "seawater (inferred)"),
                                               (35000.0, "seawater_open", "seawater_open, salt")])
def test_design_basis_names_the_water_class(salt, water, kind):
    fs = hydrokit.Flowsheet(components=["salt"])
    fs.feed("f", flow=1e-3, salt=salt, **({"water": water} if water else {}))
    assert report_page.water_class(fs, "f", "salt").startswith(kind)


@pytest.mark.parametrize("units, header, shown", [("engineering", "flow (m³/h)", lambda q: human(q * 3600.0)),
                                                  ("si", "flow (m³/s)", repr)])
def test_report_in_either_system_of_units(units, header, shown):
    fs = load_plant(EXAMPLES / "seawater_ro.toml")
    res = fs.solve()
    page = report_page.report(fs, res, units=units)
    assert header in page and f"<td>{shown(res.stream('ro.permeate')['flow'])}</td>" in page


def test_component_names_stay_whole_in_stream_headers():
    fs = load_plant(EXAMPLES / "mbr_ro_reuse.toml")
    from hydrokit.display.html import stream_rows

    headers, _ = stream_rows(fs.solve())
    assert headers[1:] == ["flow (m³/h)", "temperature (°C)", "pressure (bar)",
                           *(f"{c} (mg/L)" for c in fs.components)]


def test_report_puts_errors_first_and_shows_array_elements():
    fs = load_plant(EXAMPLES / "seawater_array.toml")
    res = fs.solve()

    class Finding:
        def __init__(self, severity, message):
            self.unit, self.check, self.severity, self.message = "ro", "x", severity, message
            self.value, self.limit, self.units = 2.0, 1.0, "bar"

    res.checks = [Finding("warning", "mild-one"), Finding("error", "severe-one")]
    page = report_page.report(fs, res, title="t")
    assert page.index("severe-one") < page.index("mild-one") < page.index("<h2>Flowsheet")
    assert 'class="error"' in page
    # The array's stages in the diagram, and its elements' projection in engineering units.
    array = fs.arrays["ro"]
    assert f"stage 1: {array.vessels[0]} × {array.elements[0]}" in page
    last = res.elements("ro")[-1]
    projection = page[page.index("Element projection of ro"):]
    assert f"<td>{human(last['feed_flow'] * 3600.0)}</td>" in projection
    assert f"<td>{human(last['flux_lmh'])}</td>" in projection


def test_flowsheet_command_in_engineering_units_and_exact_json():
    plant = str(EXAMPLES / "seawater_ro.toml")
    text = _cli("flowsheet", plant, "--units", "engineering")
    flux = load_plant(EXAMPLES / "seawater_ro.toml").solve().outputs("ro")["flux"] * 3.6e6   # m/s -> L/(m²·h)
    assert text.returncode == 0 and "flow (m³/h)" in text.stdout and f"{human(flux)}  L/(m²·h)" in text.stdout
    as_json = _cli("flowsheet", plant, "--units", "engineering", "--json")
    import json

    data = json.loads(as_json.stdout)
    res = load_plant(EXAMPLES / "seawater_ro.toml").solve()
    assert data["streams"]["ro.permeate"]["flow"] == res.stream("ro.permeate")["flow"]   # m³/s, exact


def test_notebook_views_of_layout_and_optimum():
    from hydrokit.layout import layout

    lay = layout("osmolumped")
    html = lay._repr_html_()
    assert all(f"<td>{s.name}</td>" in html for s in (*lay.inputs, *lay.params, *lay.output_slots_default))
    fs = load_plant(EXAMPLES / "seawater_ro.toml")
    best = fs.optimize("lcow", {"hp.pressure_rise_bar": (40, 70)}, ["kpi.recovery>=0.5"], maxiter=5)
    html = best._repr_html_()
    assert "hp.pressure_rise_bar" in html and "kpi.recovery&gt;=0.5" in html and "feasible" in html


@pytest.mark.parametrize("name, unit", [("split.fraction1", "fraction"), ("w.flow", "m³/s"), ("w.salt", "g/m³"),
                                        ("a.pressure_rise_bar", "bar"), ("tear.split.outlet1.flow", "m³/s")])
def test_units_of_varied_columns(name, unit):
    fs = hydrokit.Flowsheet(components=["salt"])
    fs.feed("w", flow=1e-3, salt=500)
    fs.mixer("m"); fs.unit("a", "pump"); fs.splitter("split", [0.5, 0.5])
    fs.connect("w", "m.inlet1"); fs.connect("m", "a"); fs.connect("a", "split")
    fs.connect("split.outlet1", "m.inlet2"); fs.product("out", "split.outlet2")
    table = fs.sweep(**{name: [0.3 if "fraction" in name else 1e-3]})
    assert table.attrs["units"][name] == unit
