DESCRIPTION = "Physical nanofiltration"

SOLUTES = range(1, 6)

INPUT = (
    ("feed_flow", "m³/s"),
    ("temperature_c", "°C"),
    ("feed_pressure_bar", "bar"),
    *((f"solute{i}_feed_conc", "g/m³") for i in SOLUTES),
)

PARAMS = (
    ("recovery", "fraction"),
    ("active_layer_thickness", "m"),
    ("pore_radius", "m"),
    ("porosity", "fraction"),
    ("tortuosity", "–"),
    ("permeability", "m/(s·Pa)"),
    ("reserved_6", "–"),
    ("hydraulic_diameter", "m"),
    ("pump_efficiency", "fraction"),
    ("charge_exclusion_energy", "J/mol"),
)

OUTPUT = (
    ("permeate_flow", "m³/s"),
    ("concentrate_flow", "m³/s"),
    ("raw_flux", "m/s"),
    ("flux", "m/s"),
    ("polarisation_factor", "–"),
    ("membrane_area", "m²"),
    *((f"solute{i}_permeate_conc", "g/m³") for i in SOLUTES),
    *((f"solute{i}_concentrate_conc", "g/m³") for i in SOLUTES),
    *((f"solute{i}_rejection", "fraction") for i in SOLUTES),
    ("pump_power_kw", "kW"),
    ("daily_energy_kwh", "kWh/d"),
    ("feed_osmotic_pressure_bar", "bar"),
    ("status_code", "–"),
)
