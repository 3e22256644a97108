"""Plant files build the same flowsheet as Python, the examples run, and mistakes are one line."""

import json
import pathlib
import subprocess
import sys

import pytest

import hydrokit
from hydrokit.cli.flowsheet import main
from hydrokit.flowsheet.plantfile import PlantFileError, load, loads

EXAMPLES = sorted((pathlib.Path(__file__).resolve().parents[1] / "examples").glob("*.toml"))


@pytest.mark.parametrize("path", EXAMPLES, ids=lambda p: p.stem)
def test_examples_run_from_the_command_line(path, capsys):
    assert main([str(path), "--json"]) == 0
    data = json.loads(capsys.readouterr().out)
    assert data["converged"] is True and not data["flagged"]
    kpis = {k["name"]: k["value"] for k in data["kpis"]}
    assert 0 < kpis["recovery"] < 1 and kpis["electric_power_kw"] > 0
    # Every product leaves the plant with water in it.
    fs = load(path)
    assert all(data["streams"][s]["flow"] > 0 for s in fs.products.values())
    if path.stem == "two_pass_ro":
        # Wegstein acceleration: the second pass's concentrate loop settles in a few dozen passes.
        assert data["iterations"] <= 25
    assert main([str(path)]) == 0
    assert "key figures" in capsys.readouterr().out


def test_plant_file_equals_the_same_plant_in_python():
    fs = hydrokit.Flowsheet(components=["salt"])
    fs.feed("sea", flow=1e-3, temperature_c=25, pressure_bar=1, salt=35000)
    fs.unit("hp", "pump", pressure_rise_bar=59, pump_efficiency=0.8)
    fs.unit("ro", "osmoaxial", membrane_area=110, permeability=3.3333e-12, salt_permeability=1e-8,
            mass_transfer_coeff=4e-5, segment_count=20, channel_pressure_drop_bar=1.5)
    fs.unit("erd", "recoupsimple", recovery_efficiency=0.95)
    fs.connect("sea", "hp.inlet"); fs.connect("hp.outlet", "ro.feed"); fs.connect("ro.concentrate", "erd.inlet")
    fs.product("water", "ro.permeate")
    by_file = load(EXAMPLES[[p.stem for p in EXAMPLES].index("seawater_ro")])
    a, b = fs.solve(), by_file.solve(**{"hp.pressure_rise_bar": 59})
    assert a.kpis == b.kpis and a.outputs("erd") == b.outputs("erd")


GOOD = """
components = ["salt"]
connect = ["sea -> hp.inlet"]
[feeds.sea]
flow = 1e-3
[units.hp]
model = "pump"
[products]
water = "hp.outlet"
"""


@pytest.mark.parametrize("old, new, words", [
    ('components = ["salt"]', 'components = ["salt"]\ncolour = 1', ["colour", "connect", "units"]),
    ('model = "pump"', 'model = "pumpp"', ["units.hp", "'pumpp'", "osmolumped"]),
    ('model = "pump"', 'model = "pump"\nbogus_rise = 3', ["units.hp", "'bogus_rise'", "pressure_rise_bar"]),
    ('model = "pump"', 'model = "pump"\npump_efficiency = "high"', ["units.hp.pump_efficiency", "number"]),
    ('model = "pump"', 'model = "pump"\nfeed_flow = 2', ["units.hp", "feed_flow", "hp.inlet"]),
    ('model = "pump"', "", ["units.hp", "model ="]),
    ('"sea -> hp.inlet"', '"sea => hp.inlet"', ["connect[0]", "source -> target"]),
    ('"sea -> hp.inlet"', '"sea -> hp.inlett"', ["connect[0]", "'inlett'", "inlet"]),
    ('water = "hp.outlet"', 'water = "hp.outlet"\nwaste = "hp.outlet"', ["products.waste", "hp.outlet"]),
    ("flow = 1e-3", "flow = 1e-3\nsalinity = 3", ["feeds.sea", "'salinity'", "salt"]),
    ("flow = 1e-3", "flow = [1e-3", ["not valid TOML", "line"]),
    ('components = ["salt"]', 'components = ["salt"]\nmax_iterations = 0', ["plant.toml: max_iterations: ", "at least 1"]),
])
def test_mistakes_are_one_line_naming_file_entry_and_choices(old, new, words):
    assert old in GOOD
    with pytest.raises(PlantFileError) as err:
        loads(GOOD.replace(old, new), "plant.toml")
    message = str(err.value)
    assert "\n" not in message and message.startswith("plant.toml: ")
    for word in words:
        assert word in message


def cli(*args):
    proc = subprocess.run([sys.executable, "-m", "hydrokit", "flowsheet", *args], capture_output=True, text=True)
    return proc.returncode, proc.stdout, proc.stderr


@pytest.mark.parametrize("args, words", [
    (["missing.toml"], ["missing.toml", "cannot read"]),
    ([str(EXAMPLES[0]), "hp"], ["'hp'", "unit.slot=value"]),
    ([str(EXAMPLES[0]), "hp.pressure_rise_bar=high"], ["'high'", "not a number"]),
    ([str(EXAMPLES[0]), "--yaml"], ["'--yaml'", "--json"]),
    ([str(EXAMPLES[0]), "hp.bogus=1"], ["'bogus'", "pressure_rise_bar"]),
])
def test_command_line_errors_exit_2_with_one_line(args, words):
    code, out, err = cli(*args)
    assert code == 2 and not out and len(err.strip().splitlines()) == 1
    for word in words:
        assert word in err
