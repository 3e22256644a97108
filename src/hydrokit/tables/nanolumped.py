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
