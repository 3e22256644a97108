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
