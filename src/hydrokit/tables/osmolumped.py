DESCRIPTION = "Corvane-style 0D reverse osmosis"

INPUT = (
    ("feed_flow", "m³/s"),
    ("temperature_c", "°C"),
    ("feed_pressure_bar", "bar"),
    ("permeate_pressure_bar", "bar"),
    ("feed_salinity", "kg/m³"),
)

PARAMS = (
    ("permeability", "m/(s·Pa)"),
    ("salt_permeability", "m/s"),
    ("membrane_area", "m²"),
    ("mass_transfer_coeff", "m/s"),
    ("pump_efficiency", "fraction"),
    ("max_recovery", "fraction"),
    ("solute_molar_mass", "g/mol"),
    ("vant_hoff_factor", "—"),
    ("max_iterations", "count"),
    ("tolerance", "relative"),
    ("reserved_10", "—"),
    ("reserved_11", "—"),
)

# Defaults of u and p by slot name, each the exact double written (C++ gets them
# through float.hex).
DEFAULT_INPUT = {
    "feed_flow": 0.0002777777777777778,
    "temperature_c": 25.0,
    "feed_pressure_bar": 55.0,
    "permeate_pressure_bar": 1.0,
    "feed_salinity": 35.0,
}

DEFAULT_PARAMS = {
    "permeability": 2e-11,
    "salt_permeability": 1e-08,
    "membrane_area": 40.0,
    "mass_transfer_coeff": 2e-05,
    "pump_efficiency": 0.75,
    "max_recovery": 0.75,
    "solute_molar_mass": 58.44,
    "vant_hoff_factor": 2.0,
    "max_iterations": 100.0,
    "tolerance": 1e-08,
    "reserved_10": 1000.0,
    "reserved_11": 0.0,
}

# How the costing prices a unit of this model (see hydrokit.costing.CLASSES).
COST_CLASS = "ro"

OUTPUT = (
    ("permeate_flow", "m³/s"),
    ("concentrate_flow", "m³/s"),
    ("flux", "m/s"),
    ("membrane_area", "m²"),
    ("permeate_salinity", "kg/m³"),
    ("concentrate_salinity", "kg/m³"),
    ("salt_rejection", "fraction"),
    ("recovery_achieved", "fraction"),
    ("wall_osmotic_pressure_bar", "bar"),
    ("permeate_osmotic_pressure_bar", "bar"),
    ("net_driving_pressure_bar", "bar"),
    ("pump_power_kw", "kW"),
    ("daily_energy_kwh", "kWh per day"),
    ("iterations", "count"),
    ("not_converged", "flag"),
)

# Ports. One lumped salt; the model computes no temperature change and no
# feed-side pressure drop, so both outlets leave at the feed temperature and
# the concentrate at the feed pressure; the permeate leaves at the model's
# permeate_pressure_bar.
from ..ports import Inlet, Outlet, Same, Setting, Slot  # noqa: E402

INLETS = {
    "feed": Inlet(Slot("feed_flow", "m³/s"), Slot("temperature_c", "°C"), Slot("feed_pressure_bar", "bar"),
                  (Slot("feed_salinity", "kg/m³"),), doc="the pressurised feed"),
}
OUTLETS = {
    "permeate": Outlet(Slot("permeate_flow", "m³/s"), Same("feed", "temperature_c"),
                       Setting("permeate_pressure_bar", "bar"), (Slot("permeate_salinity", "kg/m³"),),
                       doc="product water"),
    "concentrate": Outlet(Slot("concentrate_flow", "m³/s"), Same("feed", "temperature_c"),
                          Same("feed", "pressure_bar"), (Slot("concentrate_salinity", "kg/m³"),),
                          doc="the brine, at the feed pressure"),
}
POWER = (("pump_power_kw", "feed_pump"),)
# Component kinds: the one lumped salt is dissolved; suspended solids leave
# wholly in the concentrate.
KINDS = {"feed": (("dissolved",),)}
PASSES = {"suspended": "concentrate"}
DIAGNOSTICS = {
    "iterations": "the pass at which the flux iteration stopped; max_iterations + 1 when the cap was hit",
    "not_converged": "1 when the iteration hit its cap before meeting the tolerance, else 0",
}
FLAGS = ("not_converged",)

# Design checks (hydrokit.checks). The lumped element is evaluated at the
# feed concentration and its permeate is then held to max_recovery, so the
# concentrate the mass balance gives can be one that no pressure at hand
# could reach: the osmotic limit compares its osmotic pressure (the model's
# own van 't Hoff law) with the pressure difference at the concentrate end.
import numpy as np  # noqa: E402

from .. import checks as _c  # noqa: E402


def _osmotic(v: _c.CheckView) -> _c.Column:
    # Where no water passes, nothing has to overcome the osmotic pressure.
    m, i, t = v.slot("solute_molar_mass"), v.slot("vant_hoff_factor"), v.slot("temperature_c")
    difference = (_c.osmotic_bar(v.out("concentrate_salinity"), m, i, t)
                  - _c.osmotic_bar(v.out("permeate_salinity"), m, i, t))
    return np.where(v.out("permeate_flow") > 0.0, difference, 0.0)


def _polarisation(v: _c.CheckView) -> _c.Column:
    # Wall over bulk concentration, as the ratio of their osmotic pressures.
    feed = _c.osmotic_bar(v.slot("feed_salinity"), v.slot("solute_molar_mass"), v.slot("vant_hoff_factor"),
                          v.slot("temperature_c"))
    return np.where(feed > 0.0, v.out("wall_osmotic_pressure_bar") / feed, 1.0)


CHECKS = (
    _c.Check("osmotic_limit", "concentrate osmotic pressure",
             ("concentrate_salinity", "permeate_salinity", "solute_molar_mass", "vant_hoff_factor",
              "temperature_c", "feed_pressure_bar", "permeate_pressure_bar"),
             _osmotic, lambda v: np.maximum(v.slot("feed_pressure_bar") - v.slot("permeate_pressure_bar"), 0.0), "bar", "error",
             _c.OSMOTIC_SOURCE, message=_c.OSMOTIC_MESSAGE, scale=10.0,
             limit_doc="< feed minus permeate pressure"),
    _c.flux_check("flux", 3.6e6),
    _c.polarisation_check(_polarisation, ("wall_osmotic_pressure_bar", "feed_salinity")),
    _c.pressure_check("feed_pressure_bar"),
    _c.temperature_check("temperature_c"),
    _c.recovery_cap_check(),
)
