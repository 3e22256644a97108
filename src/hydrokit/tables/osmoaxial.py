from . import osmolumped as _lumped
from .osmolumped import INPUT  # the same inlet stream

DESCRIPTION = "Segmented 1D reverse osmosis"

PARAMS = (
    ("permeability", "m/(s·Pa)"),
    ("salt_permeability", "m/s"),
    ("membrane_area", "m²"),
    ("mass_transfer_coeff", "m/s"),
    ("pump_efficiency", "fraction"),
    ("max_recovery", "fraction"),
    ("solute_molar_mass", "g/mol"),
    ("vant_hoff_factor", "—"),
    ("segment_count", "count"),
    ("channel_pressure_drop_bar", "bar"),
    ("max_iterations", "count"),
    ("tolerance", "relative"),
    ("reserved_12", "—"),
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
    "segment_count": 10.0,
    "channel_pressure_drop_bar": 2.0,
    "max_iterations": 100.0,
    "tolerance": 1e-08,
    "reserved_12": 1000.0,
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
    ("concentrate_pressure_bar", "bar"),
    ("channel_pressure_drop_bar", "bar"),
    ("mean_net_driving_pressure_bar", "bar"),
    ("pump_power_kw", "kW"),
    ("daily_energy_kwh", "kWh per day"),
    ("segment_count", "count"),
    ("not_converged", "flag"),
)

# Ports. One lumped salt, as the lumped model; the concentrate leaves after
# the channel pressure drop (the model's concentrate_pressure_bar), the
# permeate at the model's permeate_pressure_bar, both at the feed temperature.
from ..ports import Outlet, Same, Setting, Slot  # noqa: E402

INLETS = _lumped.INLETS  # the same feed
OUTLETS = {
    "permeate": Outlet(Slot("permeate_flow", "m³/s"), Same("feed", "temperature_c"),
                       Setting("permeate_pressure_bar", "bar"), (Slot("permeate_salinity", "kg/m³"),),
                       doc="product water, mixed over the segments"),
    "concentrate": Outlet(Slot("concentrate_flow", "m³/s"), Same("feed", "temperature_c"),
                          Slot("concentrate_pressure_bar", "bar"), (Slot("concentrate_salinity", "kg/m³"),),
                          doc="the brine, after the channel pressure drop"),
}
POWER = (("pump_power_kw", "feed_pump"),)
# Component kinds: as the lumped model.
KINDS = _lumped.KINDS
PASSES = _lumped.PASSES
DIAGNOSTICS = {
    "segment_count": "the number of segments used (1 to 200)",
    "not_converged": "1 when the solve of any segment that ran hit its pass cap, else 0",
}
FLAGS = ("not_converged",)

# Design checks (hydrokit.checks). Each segment is solved at its inlet
# concentration, so the last one can still pass water into a concentrate
# beyond the osmotic limit: the limit is checked at the concentrate end,
# after the channel pressure drop.
import numpy as np  # noqa: E402

from .. import checks as _c  # noqa: E402


def _osmotic(v: _c.CheckView) -> _c.Column:
    # Where no water passes, nothing has to overcome the osmotic pressure.
    m, i, t = v.slot("solute_molar_mass"), v.slot("vant_hoff_factor"), v.slot("temperature_c")
    difference = (_c.osmotic_bar(v.out("concentrate_salinity"), m, i, t)
                  - _c.osmotic_bar(v.out("permeate_salinity"), m, i, t))
    return np.where(v.out("permeate_flow") > 0.0, difference, 0.0)


def _polarisation(v: _c.CheckView) -> _c.Column:
    # exp(J/k) of the film model at the element's mean flux.
    return np.exp(v.out("flux") / v.slot("mass_transfer_coeff"))


CHECKS = (
    _c.Check("osmotic_limit", "concentrate osmotic pressure",
             ("concentrate_salinity", "permeate_salinity", "solute_molar_mass", "vant_hoff_factor",
              "temperature_c", "concentrate_pressure_bar", "permeate_pressure_bar"),
             _osmotic, lambda v: np.maximum(v.out("concentrate_pressure_bar") - v.slot("permeate_pressure_bar"), 0.0), "bar",
             "error", _c.OSMOTIC_SOURCE, message=_c.OSMOTIC_MESSAGE, scale=10.0,
             limit_doc="< concentrate-end (after the channel drop) minus permeate pressure"),
    _c.flux_check("flux", 3.6e6),
    _c.polarisation_check(_polarisation, ("flux", "mass_transfer_coeff")),
    _c.pressure_check("feed_pressure_bar"),
    _c.temperature_check("temperature_c"),
    _c.recovery_cap_check(),
)
