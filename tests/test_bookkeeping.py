"""Plant bookkeeping: pressure paid for once, components by kind, ambient pressure, heat counted."""

import pytest

import hydrokit


def _pump_kw(flow_m3s, rise_bar, pump_eff=0.8, motor_eff=0.95):
    return flow_m3s * rise_bar * 1e5 / (pump_eff * motor_eff) / 1000.0


def _elements(layout):
    """Brackish water raised 14 bar by one pump, then two axial elements in series or in parallel."""
    fs = hydrokit.Flowsheet(components=["salt"])
    fs.feed("raw", flow=2e-3, salt=2000)
    fs.unit("hp", "pump", pressure_rise_bar=14, pump_efficiency=0.8)
    fs.unit("e1", "osmoaxial", membrane_area=37)
    fs.unit("e2", "osmoaxial", membrane_area=37)
    fs.connect("raw", "hp")
    fs.mixer("mix")
    if layout == "series":
        fs.connect("hp", "e1.feed")
        fs.connect("e1.concentrate", "e2.feed")
    else:
        fs.splitter("split", [0.5, 0.5])
        fs.connect("hp", "split")
        fs.connect("split.outlet1", "e1.feed")
        fs.connect("split.outlet2", "e2.feed")
    fs.connect("e1.permeate", "mix.inlet1")
    fs.connect("e2.permeate", "mix.inlet2")
    fs.product("water", "mix")
    return fs


@pytest.mark.parametrize("layout", ["series", "splitter"])
def test_only_the_pump_pays_for_the_pressure(layout):
    res = _elements(layout).solve()
    assert res.outputs("e2")["pump_power_kw"] > 0        # each element still reports its own feed pump
    assert res.power["e1"] == res.power["e2"] == 0
    assert res.kpis["electric_power_kw"] == pytest.approx(_pump_kw(2e-3, 14.0), rel=1e-12)
