"""What the model reference pages say beyond the slot tables.

Per model: ``what`` (what the model computes), ``solutes`` (what the default
vectors describe, where they make it clear), ``diagnostics`` (output name ->
meaning of its values, only for a model whose table has no DIAGNOSTICS: a
model's diagnostics are described in one place) and
``properties`` (the water-property correlations it uses, for the accuracy
page). tools/gen_reference.py renders them.
"""

NOTES = {
    "osmomech": {
        "what": "One reverse-osmosis stage in steady state: solution-diffusion water and solute transport, "
                "film-model concentration polarisation with a channel mass-transfer coefficient per solute, "
                "and a damped fixed-point iteration for the water flux and the five permeate concentrations. "
                "The permeate flow is set by the recovery; the membrane area is what the converged flux "
                "needs to pass it. Also gives the concentrate by mass balance, rejections, feed-pump power "
                "and the osmotic pressures at the membrane wall and in the permeate.",
        "solutes": "Five solutes, described by their molar masses: 86.13, 150.13, 10000, 23 and 74.04 g/mol "
                   "(`solute1_molar_mass` … `solute5_molar_mass`), with feed concentrations 23235.6, 1000, "
                   "1500, 12.9 and 40800 g/m³. The 23 g/mol solute has the molar mass of sodium and the "
                   "10000 g/mol one is a macromolecule; the others are not identified by the defaults. "
                   "Change the molar masses, diffusivities and solute permeabilities to model other solutes.",
        "properties": ["density", "viscosity", "film", "osmotic"],
    },
    "osmolumped": {
        "what": "A reverse-osmosis element of given installed area as one lumped (0D) element with one lumped "
                "salt: solution-diffusion flux from the net driving pressure, salt passage through a salt "
                "permeability, film polarisation with a given mass-transfer coefficient, all solved together "
                "by a damped fixed-point iteration. The permeate flow (flux × area) is capped by "
                "`max_recovery` × feed flow; when the cap binds, the flux is lowered but the concentrations "
                "and pressures stay those of the solve.",
        "solutes": "One lumped salt of molar mass 58.44 g/mol (sodium chloride) dissociating into 2 particles "
                   "(`vant_hoff_factor`), at 35 kg/m³ in the feed: a seawater feed.",
        "properties": ["osmotic"],
    },
    "osmoaxial": {
        "what": "A reverse-osmosis element of given installed area as 1 to 200 equal segments in series along "
                "the feed channel. Each segment is the lumped element of osmolumped at its local bulk "
                "concentration and local feed pressure (falling linearly by `channel_pressure_drop_bar`), "
                "takes off its permeate (at most 90 % of the flow entering it) and passes the concentrated "
                "feed on. The chain stops early when the feed is used up or the whole-element recovery limit "
                "is reached; flux and net driving pressure are averaged over all N segments.",
        "solutes": "The same lumped salt as osmolumped: 58.44 g/mol, 2 particles, 35 kg/m³ (seawater).",
        "properties": ["osmotic"],
    },
    "osmocascade": {
        "what": "A block of two reverse-osmosis stages in series: each stage splits its feed by a set "
                "concentrate fraction and a set salt rejection, the concentrate of stage 1 (at its outlet "
                "pressure) feeds stage 2, and the permeates are blended. The model does not solve for the "
                "flux: it derives, per stage, the osmotic pressure difference (its own van 't Hoff form with "
                "R = 8.314), the permeability corrected to the feed temperature and the pressure the "
                "stage's permeate flow would need through its area.",
        "solutes": "The feed salinity (default 50, in a unit of the caller's choice) is turned into mol/L by "
                   "`feed_to_molar_factor` (0.018963) and back by `molar_to_report_factor`; the defaults "
                   "give a feed of 0.948 mol/L.",
        "diagnostics": {
            "stage1_pressure_index": "the mean of inlet and outlet pressure × 100 / (0.8 × concentrate "
                                     "fraction + 3.6): an index in the caller's pressure unit, not a "
                                     "pressure; 0 when not finite",
            "stage2_pressure_index": "the same for stage 2",
            "pressure_index_total": "(stage 1 index + stage 2 index) × 0.001",
        },
        "properties": [],
    },
    "nanomech": {
        "what": "One nanofiltration stage in a single pass (no iteration): a set recovery splits the feed; "
                "each of five fixed solutes is rejected by a pore model (steric partition; charge exclusion "
                "for charged solutes, hindered diffusion for neutral ones); the water flux follows from the "
                "permeability and the applied pressure less the feed's van 't Hoff osmotic pressure, reduced "
                "by a polarisation factor; then area and pump energy. Bad inputs are not corrected: the core "
                "computes on and reports a status code.",
        "solutes": "Five solutes fixed in the module: molar masses 86.13, 150.13, 10000, 23 and 74.04 g/mol, "
                   "radii 0.3, 0.45, 2, 0.18 and 0.35 nm, charges 0, 0, −1, +1 and −1 (the molar masses of "
                   "osmomech's defaults). Only the feed concentrations are inputs.",
        "properties": ["density", "viscosity", "film", "osmotic"],
    },
    "nanolumped": {
        "what": "Fixed-performance (0D) nanofiltration of a six-ion water: a set recovery splits the feed, a "
                "set rejection per ion gives the permeate, optionally the permeate chloride is set by "
                "electroneutrality instead (`charge_balance_switch` > 0.5), and the concentrate follows by "
                "mass balance. Outlet temperatures and pressures are passed through, the area comes from a "
                "design flux and the electric power from a specific energy per m³ of permeate. Flows are in "
                "m³/h.",
        "solutes": "Six ions in the order sodium, chloride, potassium, magnesium, calcium, sulfate (charges "
                   "+1, −1, +1, +2, +2, −2 fixed in the module; molar masses 22.99, 35.453, 39.0983, 24.305, "
                   "40.078 and 96.06 g/mol as parameters), at 12.33, 21.67, 0.45, 1.39, 0.45 and 3.28 kg/m³: "
                   "a seawater-like water of 39.57 kg/m³ in total.",
        "properties": [],
    },
    "ultramech": {
        "what": "One pressure-driven ultrafiltration stage: flux = permeability × transmembrane pressure, "
                "permeate flow from a set recovery, the area that flux needs, feed-pump power, and Gaussian "
                "size-exclusion rejection (1 − exp(−λ²/2), λ = class size / pore size) of four particle "
                "classes with concentrate concentrations by mass balance. No temperature dependence.",
        "solutes": "Four particle or solute classes of characteristic sizes 55 nm, 5 µm, 2 nm and 0.18 nm "
                   "against a 5 nm pore; their concentrations carry no fixed unit.",
        "diagnostics": {
            "(all outputs)": "no diagnostic slot: a negative `feed_flow` or `transmembrane_pressure_bar` "
                             "leaves all 18 outputs at 0",
        },
        "properties": [],
    },
    "ultrasimple": {
        "what": "Zero-order ultrafiltration: fixed split fractions on a mass basis, no membrane physics. A set "
                "fraction of the water mass goes to the permeate, a set fraction of each solute's mass to the "
                "concentrate; outlet volumes include the dissolved mass; electricity is a fixed intensity per "
                "m³ of feed. Flows are in m³/d. The output blocks follow `solute_count` (1 to 4).",
        "solutes": "Four solutes at 100, 50, 10 and 500 mg/L with removals 0.97, 0.3, 0 and 0.",
        "diagnostics": {
            "(all outputs)": "no diagnostic slot: a `solute_count` below 0.5 (or NaN) leaves every output 0; "
                             "replaced feed flows and concentrations are not reported",
        },
        "properties": [],
    },
    "micromech": {
        "what": "One microfiltration stage by Darcy's law: flux = transmembrane pressure / (water viscosity at "
                "the feed temperature × membrane resistance), permeate flow from a set recovery, the area, "
                "feed-pump power, and steric sieving (1 − (1 − λ)², 1 for λ ≥ 1) of four particle classes. "
                "Non-finite inputs are caught and replaced.",
        "solutes": "The four particle classes of ultramech (55 nm, 5 µm, 2 nm, 0.18 nm) against a 100 nm pore.",
        "diagnostics": {},
        "properties": ["viscosity", "darcy"],
    },
    "microsimple": {
        "what": "Zero-order microfiltration: fixed fractions on a volume basis. The permeate is a set "
                "fraction of the feed volume flow, each permeate concentration the feed concentration less a "
                "set removal fraction, the concentrate follows by mass balance; electricity is a fixed "
                "intensity per m³ of feed. Flows are in m³/d.",
        "solutes": "Four solutes at 100, 50, 10 and 500 mg/L with removals 0.9, 0.1, 0 and 0.",
        "properties": [],
    },
    "distilmech": {
        "what": "One membrane-distillation stage in a single pass: vapour flux from the difference of the "
                "Antoine vapour pressures at the hot feed and cold side temperatures through a membrane whose "
                "permeance is built from a Knudsen diffusivity, porosity, tortuosity and thickness; a fixed "
                "recovery splits the feed, a fixed passage gives the permeate; also the area, the heat duty "
                "(warming the feed plus the evaporation term) and the feed pump.",
        "solutes": "Five solutes passed through linearly (no molar mass enters), at osmomech's default feed "
                   "concentrations.",
        "properties": ["density", "heat_capacity", "vapour_pressure", "latent_heat", "knudsen"],
    },
    "distillumped": {
        "what": "Direct-contact membrane distillation as one lumped cell: vapour mass flux = permeance × "
                "vapour-pressure difference at the two inlet temperatures, permeate limited by "
                "`max_recovery`, latent plus conducted heat cooling the feed and warming the cold stream "
                "(outlet temperatures are not bounded: small flows can cross them over), a fixed salt "
                "passage and a feed pump.",
        "solutes": "One salt at 35 kg/m³: seawater.",
        "properties": ["density", "heat_capacity", "vapour_pressure"],
    },
    "distilaxial": {
        "what": "Direct-contact membrane distillation as 1 to 200 equal co-current segments, marched in the "
                "flow direction: in each segment the local temperatures give the flux, the permeate leaves "
                "the feed, latent and conducted heat move between the streams and the salt is concentrated. "
                "The march stops at the last segment or when the collected permeate reaches the recovery "
                "limit; flux and vapour pressures are averaged over all N segments.",
        "solutes": "One salt at 35 kg/m³: seawater.",
        "properties": ["density", "heat_capacity", "vapour_pressure"],
    },
    "biosimple": {
        "what": "Zero-order membrane bioreactor: a set recovery splits the feed, a power law a·Q^b in the "
                "feed flow gives the specific energy, and each of seven components is removed with its own "
                "fixed fraction (the removed part leaves with the reject stream). No kinetics, no "
                "temperature dependence. Flows are in the caller's unit, to which a and b refer.",
        "solutes": "Seven components at 30, 15, 25, 1, 1, 1 and 1 g/m³ with removals from 0.5 to 0.9999.",
        "diagnostics": {},
        "properties": [],
    },
    "biodynamic": {
        "what": "Zero-order reactive membrane bioreactor: before the membrane a fraction of component 1 is "
                "degraded (it leaves the system) and a fraction of component 4 is converted into component "
                "5; the membrane then splits the five reacted loads with fixed removal fractions. The "
                "specific energy is a parameter. Flows are in the caller's unit.",
        "solutes": "Five components at 200, 80, 20, 30 and 5 g/m³: component 1 degradable (90 %), component 4 "
                   "converted into component 5 (95 %).",
        "diagnostics": {},
        "properties": [],
    },
    "pump": {
        "what": "A pump or pressure booster: the pressure rise in bar or from a head and the fluid density "
                "(`head_mode`), the outlet pressure, the power through pump and motor efficiencies, the "
                "daily and specific energy and the equivalent head. Temperature and up to four component "
                "concentrations pass through; the six results follow the last carried component.",
        "solutes": "Up to four components in the caller's unit, passed through (`component_count` of them).",
        "properties": [],
    },
    "recoupsimple": {
        "what": "A pressure energy-recovery device with one fixed efficiency: from the flow and the usable "
                "pressure drop (inlet to the set outlet pressure, less a loss) the reclaimed power, the same "
                "as a negative demand, the daily and specific energy. Temperature and components pass through "
                "as in the pump, with the same moving result block.",
        "solutes": "Up to four components in the caller's unit, passed through (`component_count` of them).",
        "properties": [],
    },
}

# What each correlation deviation means for the results; keys as in "properties" above.
PROPERTIES = {
    "density": "water density (Kell's correlation): within 0.002 % of the reference; no effect worth noting",
    "viscosity": "water viscosity: 19 to 22 % high at every temperature (the 0.02939 mPa·s constant belongs "
                 "to another form of the correlation)",
    "osmotic": "van 't Hoff osmotic pressure: +4.8 % against a Pitzer osmotic coefficient for sodium "
               "chloride at 35 g/kg (+7.4 % at 10 g/kg)",
    "film": "the viscosity enters only the channel mass-transfer coefficient, which comes out about 11 % low "
            "at the defaults: the polarisation, and so the flux, changes by well under 1 %",
    "darcy": "micromech's Darcy flux is ∝ 1/μ: at a given pressure it is about 18 % low and the area about "
             "22 % too large",
    "heat_capacity": "water specific heat: within 0.4 % up to 60 °C, +3 % at 80 °C, +8.5 % at 95 °C",
    "vapour_pressure": "water vapour pressure (Antoine): within 0.9 % from 1 to 99 °C",
    "latent_heat": "the default `latent_heat` 2.26e6 is a J/kg figure in a J/m³ slot: the latent part of the "
                   "heat duty is about 1000× too small",
    "knudsen": "the Knudsen diffusivity uses the molar mass 18000 where 0.018 kg/mol belongs: the default "
               "flux is far above practice (about 160× the Knudsen flux of the same membrane)",
}
