DESCRIPTION = "Physical reverse osmosis"

SOLUTES = range(1, 6)

INPUT = (
    ("feed_flow", "m³/s"),
    ("temperature_c", "°C"),
    ("feed_pressure_bar", "bar"),
    *((f"solute{i}_feed_conc", "g/m³") for i in SOLUTES),
)

PARAMS = (
    ("recovery", "fraction"),
    ("permeability", "m/(s·Pa)"),
    ("reserved_2", "—"),
    ("hydraulic_diameter", "m"),
    ("reserved_4", "—"),
    ("pump_efficiency", "fraction"),
    ("max_iterations", "count"),
    ("tolerance", "relative"),
    *((f"solute{i}_molar_mass", "g/mol") for i in SOLUTES),
    *((f"solute{i}_diffusivity", "m²/s") for i in SOLUTES),
    *((f"solute{i}_solute_permeability", "m/s") for i in SOLUTES),
)

OUTPUT = (
    ("permeate_flow", "m³/s"),
    ("concentrate_flow", "m³/s"),
    ("flux", "m/s"),
    ("membrane_area", "m²"),
    *((f"solute{i}_permeate_conc", "g/m³") for i in SOLUTES),
    *((f"solute{i}_concentrate_conc", "g/m³") for i in SOLUTES),
    *((f"solute{i}_rejection", "fraction") for i in SOLUTES),
    ("pump_power_kw", "kW"),
    ("daily_energy_kwh", "kWh per day"),
    ("wall_osmotic_pressure_bar", "bar"),
    ("permeate_osmotic_pressure_bar", "bar"),
    ("iterations", "count"),
    ("not_converged", "flag"),
)

# Ports. The model reads the feed pressure as the whole pressure across the
# membrane (its flux law and its feed pump both start from 0 bar), so the
# permeate leaves at 0 bar; it computes no temperature change and no
# feed-side pressure drop: both outlets leave at the feed temperature and the
# concentrate at the feed pressure.
from ..ports import Fixed, Inlet, Outlet, Same, Slot  # noqa: E402

INLETS = {
    "feed": Inlet(Slot("feed_flow", "m³/s"), Slot("temperature_c", "°C"), Slot("feed_pressure_bar", "bar"),
                  tuple(Slot(f"solute{i}_feed_conc", "g/m³") for i in SOLUTES), doc="the pressurised feed"),
}
OUTLETS = {
    "permeate": Outlet(Slot("permeate_flow", "m³/s"), Same("feed", "temperature_c"), Fixed(0.0),
                       tuple(Slot(f"solute{i}_permeate_conc", "g/m³") for i in SOLUTES),
                       doc="product water, at 0 bar"),
    "concentrate": Outlet(Slot("concentrate_flow", "m³/s"), Same("feed", "temperature_c"),
                          Same("feed", "pressure_bar"),
                          tuple(Slot(f"solute{i}_concentrate_conc", "g/m³") for i in SOLUTES),
                          doc="the brine, at the feed pressure"),
}
POWER = (("pump_power_kw", "feed_pump"),)
DIAGNOSTICS = {
    "iterations": "the pass at which the flux iteration stopped; max_iterations + 1 when the cap was hit",
    "not_converged": "1 when the iteration hit its cap before meeting the tolerance, else 0",
}
FLAGS = ("not_converged",)

# Design checks (hydrokit.checks): the guidelines of reverse osmosis
# elements.
from .. import checks as _c  # noqa: E402

CHECKS = (
    _c.flux_check("flux", 3.6e6),
    _c.pressure_check("feed_pressure_bar"),
    _c.temperature_check("temperature_c"),
)
