DESCRIPTION = "Zero-order ultrafiltration"

# Room for solutes in the vectors; the solute_count parameter may use fewer.
SOLUTES = 4

INPUT = (
    ("feed_flow", "m³/d"),
    ("temperature_c", "°C"),
    ("feed_pressure", "caller's unit"),
    *((f"solute{i}_feed_conc", "mg/L") for i in range(1, SOLUTES + 1)),
)

PARAMS = (
    ("solute_count", "count"),
    ("water_recovery", "fraction"),
    *((f"solute{i}_removal", "fraction") for i in range(1, SOLUTES + 1)),
    ("energy_intensity", "kWh/m³"),
    ("pressure_drop", "caller's unit"),
    ("density_kg_m3", "kg/m³"),
    ("mass_factor", "(kg/m³) per concentration unit"),
    ("hours_factor", "h per flow time unit"),
)


def _output(n):
    solutes = range(1, n + 1)
    return (
        ("permeate_flow", "m³/d"),
        ("permeate_temperature_c", "°C"),
        ("permeate_pressure", "caller's unit"),
        *((f"solute{i}_permeate_conc", "mg/L") for i in solutes),
        ("concentrate_flow", "m³/d"),
        ("concentrate_temperature_c", "°C"),
        ("concentrate_pressure", "caller's unit"),
        *((f"solute{i}_concentrate_conc", "mg/L") for i in solutes),
        ("electric_power_kw", "kW"),
        ("daily_energy_kwh", "kWh/d"),
        ("removed_solute_load", "flow unit × concentration unit"),
    )


OUTPUT = _output(SOLUTES)


def solute_count(count):
    """Solutes split for a solute_count value: (count + 0.5) truncated, at most 4.

    Below 1 (also for NaN and counts outside the int32 range) nothing is split.
    """
    shifted = count + 0.5
    if not (-2147483649.0 < shifted < 2147483648.0):
        return 0
    return min(SOLUTES, int(shifted))


def output_slots(p):
    """Output names for the solute count in ``p``; slots past the results are unused."""
    n = solute_count(float(p[0]))
    slots = _output(n) if n >= 1 else ()
    return slots + (("", ""),) * (len(OUTPUT) - len(slots))
