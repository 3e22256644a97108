DESCRIPTION = "Zero-order membrane bioreactor"

COMPONENTS = range(1, 8)

# Flows are in the caller's unit; the energy law a·Q^b refers to the same unit.
FLOW = "caller's flow unit"
LOAD = "concentration × flow / 1000"

INPUT = (
    ("feed_flow", FLOW),
    *((f"component{i}_feed_conc", "g/m³") for i in COMPONENTS),
)

PARAMS = (
    ("component_count", "count"),
    ("recovery", "fraction"),
    ("energy_coefficient", "energy per volume"),
    ("energy_exponent", "—"),
    *((f"component{i}_removal", "fraction") for i in COMPONENTS),
)

OUTPUT = (
    ("feed_flow", FLOW),
    ("permeate_flow", FLOW),
    ("concentrate_flow", FLOW),
    ("specific_energy", "energy per volume"),
    ("energy_rate", "energy per volume × flow"),
    *((f"component{i}_permeate_conc", "g/m³") for i in COMPONENTS),
    *((f"component{i}_concentrate_conc", "g/m³") for i in COMPONENTS),
    ("removed_load", LOAD),
)
