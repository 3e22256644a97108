DESCRIPTION = "Two-stage/two-pass reverse osmosis block"

INPUT = (
    ("feed_flow", "m³/s"),
    ("feed_salinity", "caller's unit"),
    ("temperature", "°C below 200, K from 200 up"),
    ("stage1_feed_pressure", "caller's pressure unit"),
    ("element_area_m2", "m²"),
    ("water_permeability", "m/(s·Pa)"),
    ("element_count", "count"),
    ("stage1_concentrate_fraction", "fraction"),
    ("stage2_concentrate_fraction", "fraction"),
    ("stage1_rejection", "fraction"),
    ("stage2_rejection", "fraction"),
    ("stage_pressure_drop", "caller's pressure unit"),
)

PARAMS = (
    ("feed_to_molar_factor", "(mol/L) per salinity unit"),
    ("molar_to_report_factor", "salinity unit per (mol/L)"),
    ("flow_scale", "factor"),
    ("vant_hoff_factor", "particles per formula unit"),
)

# Defaults of u and p by slot name, each the exact double written (C++ gets them
# through float.hex).
DEFAULT_INPUT = {
    "feed_flow": 0.05,
    "feed_salinity": 50.0,
    "temperature": 46.0,
    "stage1_feed_pressure": 15.9,
    "element_area_m2": 400.0,
    "water_permeability": 5.5e-13,
    "element_count": 35.0,
    "stage1_concentrate_fraction": 0.71,
    "stage2_concentrate_fraction": 0.5,
    "stage1_rejection": 0.95,
    "stage2_rejection": 0.98,
    "stage_pressure_drop": 5.0,
}

DEFAULT_PARAMS = {
    "feed_to_molar_factor": 0.018963,
    "molar_to_report_factor": 52.68292682926829,
    "flow_scale": 1000.0,
    "vant_hoff_factor": 2.0,
}

# How the costing prices a unit of this model (see hydrokit.costing.CLASSES).
COST_CLASS = "ro"


def _stage(n: int) -> tuple[tuple[str, str], ...]:
    return (
        (f"stage{n}_concentrate_flow", "m³/s"),
        (f"stage{n}_permeate_flow", "m³/s"),
        (f"stage{n}_permeate_molar_conc", "mol/L"),
        (f"stage{n}_permeate_conc_reported", "salinity unit"),
        (f"stage{n}_concentrate_molar_conc", "mol/L"),
        (f"stage{n}_concentrate_conc_reported", "salinity unit"),
        (f"stage{n}_outlet_pressure", "caller's pressure unit"),
        (f"stage{n}_pressure_index", "index"),
        (f"stage{n}_osmotic_pressure_pa", "Pa"),
        (f"stage{n}_permeability_at_t", "m/(s·Pa)"),
        (f"stage{n}_required_pressure_pa", "Pa"),
    )


OUTPUT = (
    ("feed_flow_used", "m³/s"),
    ("feed_molar_conc", "mol/L"),
    ("feed_conc_reported", "salinity unit"),
    *_stage(1),
    *_stage(2),
    ("total_permeate_flow", "m³/s"),
    ("total_permeate_flow_scaled", "m³/s × flow_scale"),
    ("blend_permeate_molar_conc", "mol/L"),
    ("blend_permeate_conc_reported", "salinity unit"),
    ("pressure_index_total", "index"),
    ("overall_recovery", "fraction"),
    ("final_concentrate_flow", "m³/s"),
    ("final_concentrate_conc_reported", "salinity unit"),
    ("final_concentrate_pressure", "caller's pressure unit"),
)

# Ports. The flowsheet uses kg/m³ (g/L) for the salinity and bar for the
# pressures; the reported concentrations are in that unit when
# molar_to_report_factor is the reciprocal of feed_to_molar_factor (the
# defaults differ by about 0.1 %, so set both for a closed salt balance).
# The temperature slot reads °C (streams stay below 200 °C). The model
# computes no permeate pressure (its required pressure drives the permeate
# against 0 bar) and no temperature change: permeates leave at the
# flowsheet's ambient pressure, every
# outlet at the feed temperature, the final concentrate at stage 2's outlet
# pressure. Use either the blended permeate or the two stage permeates.
from ..ports import Ambient, Inlet, Outlet, Same, Slot  # noqa: E402

INLETS = {
    "feed": Inlet(Slot("feed_flow", "m³/s"), Slot("temperature", "°C"), Slot("stage1_feed_pressure", "bar"),
                  (Slot("feed_salinity", "kg/m³"),), doc="the pressurised feed of stage 1"),
}


def _permeate(flow: str, conc: str, doc: str) -> Outlet:
    return Outlet(Slot(flow, "m³/s"), Same("feed", "temperature_c"), Ambient(), (Slot(conc, "kg/m³"),), doc=doc)


OUTLETS = {
    "permeate": _permeate("total_permeate_flow", "blend_permeate_conc_reported", "both stages' permeate, blended"),
    "concentrate": Outlet(Slot("final_concentrate_flow", "m³/s"), Same("feed", "temperature_c"),
                          Slot("final_concentrate_pressure", "bar"),
                          (Slot("final_concentrate_conc_reported", "kg/m³"),),
                          doc="stage 2's concentrate, at its outlet pressure"),
    "stage1_permeate": _permeate("stage1_permeate_flow", "stage1_permeate_conc_reported", "stage 1's permeate"),
    "stage2_permeate": _permeate("stage2_permeate_flow", "stage2_permeate_conc_reported", "stage 2's permeate"),
}
EXCLUSIVE = (("permeate",), ("stage1_permeate", "stage2_permeate"))
POWER = ()
# Component kinds: the one salinity is dissolved; suspended solids leave
# wholly in the final concentrate.
KINDS = {"feed": (("dissolved",),)}
PASSES = {"suspended": "concentrate"}
DIAGNOSTICS: dict[str, str] = {}
FLAGS = ()

# Design checks (hydrokit.checks). The stage splits are set, not solved, so
# a stage can report a concentrate whose osmotic pressure difference (the
# model's own, in Pa) exceeds the pressure left at its concentrate end
# (permeates at 0 bar).
import numpy as np  # noqa: E402

from .. import checks as _c  # noqa: E402


def _stage_osmotic(n: int) -> _c.Check:
    return _c.Check(f"osmotic_limit_stage{n}", f"stage {n} osmotic pressure difference",
                    (f"stage{n}_osmotic_pressure_pa", f"stage{n}_outlet_pressure"),
                    lambda v: np.where(v.out(f"stage{n}_permeate_flow") > 0.0,
                                          v.out(f"stage{n}_osmotic_pressure_pa") / 100000.0, 0.0),
                    lambda v: np.maximum(v.out(f"stage{n}_outlet_pressure"), 0.0), "bar", "error", _c.OSMOTIC_SOURCE,
                    message="{unit}: stage " + str(n) + " concentrate osmotic pressure {value:.3g} bar exceeds the "
                    "{limit:.3g} bar across the membrane: its split is impossible at this pressure", scale=10.0,
                    limit_doc=f"< stage {n} outlet pressure (permeate at 0 bar)")


CHECKS = (
    _stage_osmotic(1),
    _stage_osmotic(2),
    _c.pressure_check("stage1_feed_pressure"),
    _c.temperature_check("temperature"),
)
