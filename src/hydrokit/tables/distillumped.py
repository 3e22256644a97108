DESCRIPTION = "Corvane-style 0D direct-contact membrane distillation"

INPUT = (
    ("feed_flow", "m³/s"),
    ("cold_side_flow", "m³/s"),
    ("feed_temperature_c", "°C"),
    ("cold_side_temperature_c", "°C"),
    ("feed_salinity", "kg/m³"),
)

PARAMS = (
    ("membrane_area", "m²"),
    ("membrane_thickness", "m"),
    ("vapour_permeability", "kg/(m·s·Pa)"),
    ("membrane_conductivity", "W/(m·K)"),
    ("fallback_density", "kg/m³"),
    ("fallback_heat_capacity", "J/(kg·K)"),
    ("latent_heat", "J/kg"),
    ("pump_pressure_bar", "bar"),
    ("pump_efficiency", "fraction"),
    ("max_recovery", "fraction"),
    ("salt_passage", "fraction"),
)

# Defaults of u and p by slot name, each the exact double written (C++ gets them
# through float.hex).
DEFAULT_INPUT = {
    "feed_flow": 0.0002777777777777778,
    "cold_side_flow": 0.0002777777777777778,
    "feed_temperature_c": 80.0,
    "cold_side_temperature_c": 50.0,
    "feed_salinity": 35.0,
}

DEFAULT_PARAMS = {
    "membrane_area": 1.0,
    "membrane_thickness": 0.0001,
    "vapour_permeability": 1e-10,
    "membrane_conductivity": 0.2,
    "fallback_density": 1000.0,
    "fallback_heat_capacity": 4180.0,
    "latent_heat": 2260000.0,
    "pump_pressure_bar": 2.0,
    "pump_efficiency": 0.7,
    "max_recovery": 0.95,
    "salt_passage": 0.01,
}

# How the costing prices a unit of this model (see hydrokit.costing.CLASSES).
COST_CLASS = "md"

OUTPUT = (
    ("permeate_flow", "m³/s"),
    ("concentrate_flow", "m³/s"),
    ("recovery_achieved", "fraction"),
    ("mass_flux", "kg/(m²·s)"),
    ("flux_lmh", "L/(m²·h)"),
    ("feed_outlet_temperature_c", "°C"),
    ("cold_side_outlet_temperature_c", "°C"),
    ("feed_vapour_pressure_pa", "Pa"),
    ("cold_side_vapour_pressure_pa", "Pa"),
    ("latent_heat_flow_w", "W"),
    ("conduction_heat_flow_w", "W"),
    ("total_heat_flow_w", "W"),
    ("thermal_efficiency", "fraction"),
    ("concentrate_salinity", "kg/m³"),
    ("permeate_salinity", "kg/m³"),
    ("pump_power_kw", "kW"),
    ("daily_energy_kwh", "kWh per day"),
    ("status_code", "code"),
)

# Ports. Two streams face each other: the hot feed and the cold distillate
# loop. The model reads neither pressure nor the cold loop's components: the
# concentrate leaves at the feed pressure and the hot outlet temperature;
# the distillate (permeate) joins the cold loop, so it leaves at the cold
# outlet temperature and the cold side's pressure; the cold loop itself
# leaves with its own flow (the model holds it constant), components and
# pressure at the cold outlet temperature. Its feed pump raises
# pump_pressure_bar whatever the stream's pressure, so it counts always.
from ..ports import Inlet, Outlet, Same, Slot  # noqa: E402

INLETS = {
    "feed": Inlet(Slot("feed_flow", "m³/s"), Slot("feed_temperature_c", "°C"), None,
                  (Slot("feed_salinity", "kg/m³"),), doc="the hot feed"),
    "cold": Inlet(Slot("cold_side_flow", "m³/s"), Slot("cold_side_temperature_c", "°C"), None, None,
                  doc="the cold distillate loop"),
}
OUTLETS = {
    "permeate": Outlet(Slot("permeate_flow", "m³/s"), Slot("cold_side_outlet_temperature_c", "°C"),
                       Same("cold", "pressure_bar"), (Slot("permeate_salinity", "kg/m³"),),
                       doc="the distillate produced"),
    "concentrate": Outlet(Slot("concentrate_flow", "m³/s"), Slot("feed_outlet_temperature_c", "°C"),
                          Same("feed", "pressure_bar"), (Slot("concentrate_salinity", "kg/m³"),),
                          doc="the cooled brine"),
    "cold_outlet": Outlet(Same("cold", "flow"), Slot("cold_side_outlet_temperature_c", "°C"),
                          Same("cold", "pressure_bar"), Same("cold", "component"), of="cold",
                          doc="the warmed cold loop, without the distillate"),
}
POWER = (("pump_power_kw", "drive"),)
# Component kinds: the salt is dissolved; nothing else passes.
KINDS = {"feed": (("dissolved",),)}
PASSES: dict[str, str] = {}
DIAGNOSTICS = {"status_code": "0; 1: the permeate was limited to max_recovery; 2: no concentrate left "
                              "(its flow floored at 1e-15 m³/s)"}
FLAGS = ("status_code",)

# Design checks (hydrokit.checks): vapour crosses the membrane from the hot
# to the cold side only, and the flux designers expect of direct-contact
# membrane distillation.
from .. import checks as _c  # noqa: E402

HOT_SOURCE = "second law: water vapour flows from the hot to the cold side only when the hot side is warmer"
MD_SOURCE = ("membrane distillation design practice: 5-25 L/(m²·h) for direct-contact modules (pilot and "
             "review data); higher figures come from small laboratory cells")


def hot_side_check(hot: str, cold: str) -> _c.Check:
    return _c.Check("hot_side_warmer", "hot minus cold side temperature", (hot, cold),
                    lambda v: v.slot(hot) - v.slot(cold), 0.0, "K", "error", HOT_SOURCE, upper=False,
                    message="{unit}: the hot side is {value:.3g} K warmer than the cold side: no vapour can "
                    "cross from it", scale=10.0)


CHECKS = (
    hot_side_check("feed_temperature_c", "cold_side_temperature_c"),
    _c.flux_check("flux_lmh", 1.0, limit=25.0, source=MD_SOURCE),
)
