DESCRIPTION = "Physical membrane distillation"

SOLUTES = range(1, 6)

INPUT = (
    ("feed_flow", "m³/s"),
    ("feed_temperature_c", "°C"),
    ("cold_side_temperature_c", "°C"),
    *((f"solute{i}_feed_conc", "g/m³") for i in SOLUTES),
)

PARAMS = (
    ("recovery", "fraction"),
    ("membrane_thickness", "m"),
    ("pore_diameter", "m"),
    ("porosity", "fraction"),
    ("tortuosity", "—"),
    ("pump_pressure_bar", "bar"),
    ("pump_efficiency", "fraction"),
    ("latent_heat", "J/m³"),
    ("supply_temperature_c", "°C"),
    ("solute_passage", "fraction"),
)

# Defaults of u and p by slot name, each the exact double written (C++ gets them
# through float.hex).
DEFAULT_INPUT = {
    "feed_flow": 0.0002777777777777778,
    "feed_temperature_c": 80.0,
    "cold_side_temperature_c": 50.0,
    "solute1_feed_conc": 23235.600000000002,
    "solute2_feed_conc": 1000.0,
    "solute3_feed_conc": 1500.0,
    "solute4_feed_conc": 12.9,
    "solute5_feed_conc": 40800.00000000001,
}

DEFAULT_PARAMS = {
    "recovery": 0.72,
    "membrane_thickness": 6.8e-05,
    "pore_diameter": 1e-07,
    "porosity": 0.6,
    "tortuosity": 1.5,
    "pump_pressure_bar": 2.0,
    "pump_efficiency": 0.7,
    "latent_heat": 2260000.0,
    "supply_temperature_c": 25.0,
    "solute_passage": 0.01,
}

# Sizes of the repeated blocks of slots, as the C++ core names them.
BLOCKS = {"solutes": len(SOLUTES)}

# How the costing prices a unit of this model (see hydrokit.costing.CLASSES).
COST_CLASS = "md"

OUTPUT = (
    ("permeate_flow", "m³/s"),
    ("concentrate_flow", "m³/s"),
    ("flux", "m/s"),
    ("flux_lmh", "L/(m²·h)"),
    ("membrane_area", "m²"),
    ("heat_duty_w", "W"),
    ("daily_heat_kwh", "kWh per day"),
    ("pump_power_kw", "kW"),
    ("daily_energy_kwh", "kWh per day"),
    ("feed_vapour_pressure_pa", "Pa"),
    ("cold_side_vapour_pressure_pa", "Pa"),
    ("knudsen_diffusivity", "m²/s"),
    *((f"solute{i}_permeate_conc", "g/m³") for i in SOLUTES),
    *((f"solute{i}_concentrate_conc", "g/m³") for i in SOLUTES),
    ("status_code", "code"),
)

# Ports. The model heats its feed from supply_temperature_c to the hot
# temperature feed_temperature_c (its heat duty), so the entering stream's
# temperature fills supply_temperature_c and feed_temperature_c is the
# unit's set point. The cold side is a set temperature, not a stream. The
# model computes no cooling of the feed and reads no pressure: the
# concentrate leaves at the hot temperature, the distillate at the cold-side
# temperature, both at the feed pressure. Its feed pump raises
# pump_pressure_bar whatever the stream's pressure, so it counts always.
from ..ports import Inlet, Outlet, Same, Setting, Slot  # noqa: E402

INLETS = {
    "feed": Inlet(Slot("feed_flow", "m³/s"), Slot("supply_temperature_c", "°C"), None,
                  tuple(Slot(f"solute{i}_feed_conc", "g/m³") for i in SOLUTES),
                  doc="the feed, before the model's heater"),
}
OUTLETS = {
    "permeate": Outlet(Slot("permeate_flow", "m³/s"), Setting("cold_side_temperature_c", "°C"),
                       Same("feed", "pressure_bar"),
                       tuple(Slot(f"solute{i}_permeate_conc", "g/m³") for i in SOLUTES),
                       doc="the distillate, at the cold-side temperature"),
    "concentrate": Outlet(Slot("concentrate_flow", "m³/s"), Setting("feed_temperature_c", "°C"),
                          Same("feed", "pressure_bar"),
                          tuple(Slot(f"solute{i}_concentrate_conc", "g/m³") for i in SOLUTES),
                          doc="the brine, at the hot temperature"),
}
POWER = (("pump_power_kw", "drive"),)
# Component kinds: the non-volatile solutes (dissolved, organic, nutrient);
# nothing else passes a distillation membrane.
KINDS = {"feed": (("dissolved", "organic", "nutrient"),) * len(SOLUTES)}
PASSES: dict[str, str] = {}
HEAT = (("heat_duty_w", "W"),)
DIAGNOSTICS = {"status_code": "0; 1: flux negative or not finite, taken as 0; 2: no concentrate left "
                              "(its flow floored at 1e-15 m³/s)"}
FLAGS = ("status_code",)

# Design checks (hydrokit.checks): the hot set point above the cold side,
# and the flux designers expect of membrane distillation.
from .distillumped import MD_SOURCE, hot_side_check  # noqa: E402
from .. import checks as _c  # noqa: E402

CHECKS = (
    hot_side_check("feed_temperature_c", "cold_side_temperature_c"),
    _c.flux_check("flux_lmh", 1.0, limit=25.0, source=MD_SOURCE),
)
