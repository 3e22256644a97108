DESCRIPTION = "Two-stage/two-pass reverse osmosis block"

INPUT = (
    ("feed_flow", "m³/s"),
    ("feed_salinity", "caller's unit"),
    ("temperature", "°C below 200, K from 200 up"),
    ("stage1_feed_pressure", "caller's pressure unit"),
    ("element_area_m2", "m²"),
    ("water_permeability", "m/(s·Pa)"),
    ("element_count", "count"),
    ("stage1_concentrate_fraction", "fraction"),
    ("stage2_concentrate_fraction", "fraction"),
    ("stage1_rejection", "fraction"),
    ("stage2_rejection", "fraction"),
    ("stage_pressure_drop", "caller's pressure unit"),
)

PARAMS = (
    ("feed_to_molar_factor", "(mol/L) per salinity unit"),
    ("molar_to_report_factor", "salinity unit per (mol/L)"),
    ("flow_scale", "factor"),
    ("vant_hoff_factor", "particles per formula unit"),
)


def _stage(n):
    return (
        (f"stage{n}_concentrate_flow", "m³/s"),
        (f"stage{n}_permeate_flow", "m³/s"),
        (f"stage{n}_permeate_molar_conc", "mol/L"),
        (f"stage{n}_permeate_conc_reported", "salinity unit"),
        (f"stage{n}_concentrate_molar_conc", "mol/L"),
        (f"stage{n}_concentrate_conc_reported", "salinity unit"),
        (f"stage{n}_outlet_pressure", "caller's pressure unit"),
        (f"stage{n}_pressure_index", "index"),
        (f"stage{n}_osmotic_pressure_pa", "Pa"),
        (f"stage{n}_permeability_at_t", "m/(s·Pa)"),
        (f"stage{n}_required_pressure_pa", "Pa"),
    )


OUTPUT = (
    ("feed_flow_used", "m³/s"),
    ("feed_molar_conc", "mol/L"),
    ("feed_conc_reported", "salinity unit"),
    *_stage(1),
    *_stage(2),
    ("total_permeate_flow", "m³/s"),
    ("total_permeate_flow_scaled", "m³/s × flow_scale"),
    ("blend_permeate_molar_conc", "mol/L"),
    ("blend_permeate_conc_reported", "salinity unit"),
    ("pressure_index_total", "index"),
    ("overall_recovery", "fraction"),
    ("final_concentrate_flow", "m³/s"),
    ("final_concentrate_conc_reported", "salinity unit"),
    ("final_concentrate_pressure", "caller's pressure unit"),
)
