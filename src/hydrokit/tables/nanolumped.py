DESCRIPTION = "Corvane-style 0D nanofiltration"

IONS = ("na", "cl", "k", "mg", "ca", "so4")

INPUT = (
    ("feed_flow_m3h", "m³/h"),
    ("temperature_c", "°C"),
    ("feed_pressure_bar", "bar"),
    *((f"{ion}_feed_conc", "kg/m³") for ion in IONS),
)

PARAMS = (
    ("recovery", "fraction"),
    *((f"{ion}_rejection", "fraction") for ion in IONS),
    ("design_flux", "m/s"),
    ("pressure_drop_bar", "bar"),
    ("permeate_pressure_bar", "bar"),
    ("specific_energy_kwh_m3", "kWh/m³"),
    ("charge_balance_switch", "–"),
    *((f"{ion}_molar_mass", "g/mol") for ion in IONS),
)

# Defaults of u and p by slot name, each the exact double written (C++ gets them
# through float.hex).
DEFAULT_INPUT = {
    "feed_flow_m3h": 125.0,
    "temperature_c": 20.0,
    "feed_pressure_bar": 15.0,
    "na_feed_conc": 12.33,
    "cl_feed_conc": 21.67,
    "k_feed_conc": 0.45,
    "mg_feed_conc": 1.39,
    "ca_feed_conc": 0.45,
    "so4_feed_conc": 3.28,
}

DEFAULT_PARAMS = {
    "recovery": 0.7,
    "na_rejection": 0.16,
    "cl_rejection": 0.29,
    "k_rejection": 0.21,
    "mg_rejection": 0.98,
    "ca_rejection": 0.95,
    "so4_rejection": 0.98,
    "design_flux": 1.67e-06,
    "pressure_drop_bar": 2.0,
    "permeate_pressure_bar": 1.0,
    "specific_energy_kwh_m3": 0.7,
    "charge_balance_switch": 1.0,
    "na_molar_mass": 22.99,
    "cl_molar_mass": 35.453,
    "k_molar_mass": 39.0983,
    "mg_molar_mass": 24.305,
    "ca_molar_mass": 40.078,
    "so4_molar_mass": 96.06,
}

# Sizes of the repeated blocks of slots, as the C++ core names them.
BLOCKS = {"ions": len(IONS)}

# How the costing prices a unit of this model (see hydrokit.costing.CLASSES).
COST_CLASS = "nf"

OUTPUT = (
    ("permeate_flow_m3h", "m³/h"),
    ("concentrate_flow_m3h", "m³/h"),
    ("permeate_port_temperature_c", "°C"),
    ("permeate_port_pressure_bar", "bar"),
    *((f"{ion}_permeate_conc", "kg/m³") for ion in IONS),
    ("concentrate_port_temperature_c", "°C"),
    ("concentrate_port_pressure_bar", "bar"),
    *((f"{ion}_concentrate_conc", "kg/m³") for ion in IONS),
    *((f"{ion}_observed_rejection", "fraction") for ion in IONS),
    ("membrane_area", "m²"),
    ("flux", "m/s"),
    ("power_kw", "kW"),
    ("daily_energy_kwh", "kWh/d"),
    ("specific_energy_kwh_m3", "kWh/m³"),
    ("feed_total_conc", "kg/m³"),
    ("permeate_total_conc", "kg/m³"),
    ("concentrate_total_conc", "kg/m³"),
    ("permeate_charge_balance", "kmol/m³"),
    ("status_code", "–"),
)

# Ports. Flows in m³/h and the six ions in kg/m³, converted; the model passes
# the outlet temperatures and pressures itself (permeate at its
# permeate_pressure_bar, concentrate after its pressure_drop_bar). Its power
# is a set specific energy per m³ of permeate, counted always.
from ..ports import Inlet, Outlet, Slot  # noqa: E402

INLETS = {
    "feed": Inlet(Slot("feed_flow_m3h", "m³/h"), Slot("temperature_c", "°C"), Slot("feed_pressure_bar", "bar"),
                  tuple(Slot(f"{ion}_feed_conc", "kg/m³") for ion in IONS),
                  doc="the feed; components fill sodium, chloride, potassium, magnesium, calcium, sulfate"),
}
OUTLETS = {
    "permeate": Outlet(Slot("permeate_flow_m3h", "m³/h"), Slot("permeate_port_temperature_c", "°C"),
                       Slot("permeate_port_pressure_bar", "bar"),
                       tuple(Slot(f"{ion}_permeate_conc", "kg/m³") for ion in IONS), doc="product water"),
    "concentrate": Outlet(Slot("concentrate_flow_m3h", "m³/h"), Slot("concentrate_port_temperature_c", "°C"),
                          Slot("concentrate_port_pressure_bar", "bar"),
                          tuple(Slot(f"{ion}_concentrate_conc", "kg/m³") for ion in IONS),
                          doc="the retentate, after the pressure drop"),
}
POWER = (("power_kw", "drive"),)
# Component kinds: the six ions are dissolved; suspended solids leave wholly
# in the concentrate.
KINDS = {"feed": (("dissolved",),) * len(IONS)}
PASSES = {"suspended": "concentrate"}
DIAGNOSTICS = {
    "status_code": "0, or the last problem found: -1 negative flow, -2 recovery at 0 or 1, -3 design flux <= 0, "
                   "-4 a negative concentration taken as 0, -5 no concentrate, -6 a negative concentrate "
                   "concentration",
}
FLAGS = ("status_code",)

# Design checks (hydrokit.checks): the guidelines of spiral-wound
# nanofiltration elements.
import numpy as np  # noqa: E402

from .. import checks as _c  # noqa: E402



def _osmotic(v: _c.CheckView) -> _c.Column:
    # Van 't Hoff over the six ions, each one particle, with the unit's molar masses: concentrate
    # minus permeate, where water passes.
    t = v.slot("temperature_c")
    difference = 0.0
    for ion in IONS:
        m = v.slot(f"{ion}_molar_mass")
        difference = difference + (_c.osmotic_bar(v.out(f"{ion}_concentrate_conc"), m, 1.0, t)
                                   - _c.osmotic_bar(v.out(f"{ion}_permeate_conc"), m, 1.0, t))
    return np.where(v.out("permeate_flow_m3h") > 0.0, difference, 0.0)


def _across(v: _c.CheckView) -> _c.Column:
    # At the concentrate end: the feed pressure after the unit's own drop, less its permeate pressure.
    end = v.slot("feed_pressure_bar") - v.slot("pressure_drop_bar")
    return np.maximum(end - v.slot("permeate_pressure_bar"), 0.0)


CHECKS = (
    _c.flux_check("flux", 3.6e6),
    _c.pressure_check("feed_pressure_bar"),
    _c.temperature_check("temperature_c"),
    _c.Check("osmotic_limit", "concentrate osmotic pressure",
             ("<ion>_concentrate_conc", "<ion>_permeate_conc", "<ion>_molar_mass", "temperature_c",
              "feed_pressure_bar", "pressure_drop_bar", "permeate_pressure_bar"),
             _osmotic, _across, "bar", "error", _c.OSMOTIC_SOURCE, message=_c.OSMOTIC_MESSAGE, scale=10.0,
             limit_doc="< concentrate-end (after the unit's pressure drop) minus permeate pressure"),
)
