DESCRIPTION = "Physical ultrafiltration"

CLASSES = range(1, 5)

INPUT = (
    ("feed_flow", "m³/s"),
    ("temperature_c", "°C"),
    ("transmembrane_pressure_bar", "bar"),
    *((f"class{i}_feed_conc", "caller's unit") for i in CLASSES),
)

PARAMS = (
    ("recovery", "fraction"),
    ("permeability", "m/(s·Pa)"),
    ("pore_size_m", "m"),
    ("pump_efficiency", "fraction"),
    *((f"class{i}_size_m", "m") for i in CLASSES),
)

OUTPUT = (
    ("permeate_flow", "m³/s"),
    ("concentrate_flow", "m³/s"),
    ("flux", "m/s"),
    ("membrane_area", "m²"),
    ("pump_power_kw", "kW"),
    ("daily_energy_kwh", "kWh per day"),
    *((f"class{i}_rejection", "fraction") for i in CLASSES),
    *((f"class{i}_permeate_conc", "caller's unit") for i in CLASSES),
    *((f"class{i}_concentrate_conc", "caller's unit") for i in CLASSES),
)
