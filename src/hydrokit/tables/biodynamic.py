DESCRIPTION = "Zero-order dynamic/reactive membrane bioreactor"

COMPONENTS = range(1, 6)

FLOW = "caller's flow unit"
LOAD = "concentration × flow / 1000"

INPUT = (
    ("feed_flow", FLOW),
    *((f"component{i}_feed_conc", "g/m³") for i in COMPONENTS),
)

PARAMS = (
    ("component_count", "count"),
    ("recovery", "fraction"),
    ("specific_energy", "energy per volume"),
    ("conversion_fraction", "fraction"),
    ("degradation_fraction", "fraction"),
    *((f"component{i}_removal", "fraction") for i in COMPONENTS),
)

OUTPUT = (
    ("feed_flow", FLOW),
    ("permeate_flow", FLOW),
    ("concentrate_flow", FLOW),
    ("specific_energy", "energy per volume"),
    ("energy_rate", "energy per volume × flow"),
    ("converted_load", LOAD),
    ("degraded_load", LOAD),
    *((f"component{i}_permeate_conc", "g/m³") for i in COMPONENTS),
    *((f"component{i}_concentrate_conc", "g/m³") for i in COMPONENTS),
    ("removed_load", LOAD),
    ("component1_reacted_conc", "g/m³"),
    ("component4_reacted_conc", "g/m³"),
)
