#!/usr/bin/env python3
"""Measure the water-property correlations of the models against reference formulations.

    pip install ".[accuracy]"      # iapws and matplotlib (make accuracy does both steps)
    python tools/accuracy.py       # writes docs/accuracy.md and docs/accuracy.png

Every model value is read from the built modules themselves, by running them
at conditions where one output is the correlation (or a plain multiple of it):

- density: distillumped, from mass_flux / flux_lmh (the flux in L/(m²·h) is the
  mass flux over the feed density);
- specific heat: distilmech's heat duty with no latent term, over ρ·Q·ΔT;
- vapour pressure: distilmech's feed_vapour_pressure_pa;
- viscosity: micromech's Darcy flux, μ = ΔP / (J·R_m);
- van 't Hoff osmotic pressure: osmolumped's wall_osmotic_pressure_bar with no
  driving pressure (no flux, so the wall concentration is the feed's).

References: IAPWS-95 for liquid water at 0.101325 MPa (density, isobaric heat
capacity) and on the saturation line (vapour pressure, latent heat); the IAPWS
2008 formulation for the viscosity; a Pitzer osmotic coefficient for sodium
chloride at 25 °C.
"""

from __future__ import annotations

import math
import pathlib

import numpy as np
from iapws import IAPWS95
from iapws._iapws import _Viscosity

import hydrokit
from hydrokit.layout import layout

ROOT = pathlib.Path(__file__).resolve().parents[1]
PAGE = ROOT / "docs" / "accuracy.md"
FIGURE = ROOT / "docs" / "accuracy.png"

P_ATM = 0.101325  # MPa
TEMPERATURES = np.arange(1.0, 100.0)  # °C, 1 to 99
R = 8.31446261815324
NACL_MOLAR_MASS = 58.44  # g/mol, the default of osmolumped and osmoaxial

# Pitzer parameters of sodium chloride at 25 °C (Pitzer and Mayorga).
PITZER_A_PHI, PITZER_B0, PITZER_B1, PITZER_C_PHI = 0.3915, 0.0765, 0.2664, 0.00127


def named(model, **overrides):
    lay = layout(model)
    u, p = lay.vectors(**overrides)
    return lay.outputs(lay.module.run(u, p), p)


# ---- the models' correlations, measured through the models ------------------

def model_density(t):
    y = named("distillumped", feed_temperature_c=t, cold_side_temperature_c=t - 1.0)
    return y["mass_flux"] * 3.6e6 / y["flux_lmh"]


def model_heat_capacity(t):
    flow, rise = 1e-3, 10.0
    y = named("distilmech", feed_flow=flow, feed_temperature_c=t, supply_temperature_c=t - rise, latent_heat=0.0)
    return y["heat_duty_w"] / (model_density(t) * flow * rise)


def model_vapour_pressure(t):
    return named("distilmech", feed_temperature_c=t)["feed_vapour_pressure_pa"]


def model_viscosity(t):
    resistance = 1e11
    y = named("micromech", temperature_c=t, transmembrane_pressure_bar=1.0, membrane_resistance=resistance)
    return 1e5 / (y["flux"] * resistance)


def model_osmotic_bar(salinity, t=25.0):
    y = named("osmolumped", feed_salinity=salinity, temperature_c=t, feed_pressure_bar=1.0,
              permeate_pressure_bar=1.0)
    return y["wall_osmotic_pressure_bar"]


# ---- references --------------------------------------------------------------

def liquid(t):
    return IAPWS95(T=t + 273.15, P=P_ATM)


def saturation_pressure(t):
    return IAPWS95(T=t + 273.15, x=0).P * 1e6


def latent_heat(t):
    return IAPWS95(T=t + 273.15, x=1).h * 1e3 - IAPWS95(T=t + 273.15, x=0).h * 1e3


def pitzer_osmotic_bar(salinity_g_per_kg, t=25.0):
    """Osmotic pressure of a sodium chloride solution of that many g per kg of solution."""
    if salinity_g_per_kg <= 0:
        return 0.0, 1.0
    molality = salinity_g_per_kg / NACL_MOLAR_MASS / (1.0 - salinity_g_per_kg / 1000.0)  # mol/kg water
    root = math.sqrt(molality)  # ionic strength = molality for a 1:1 salt
    phi = (1.0 - PITZER_A_PHI * root / (1.0 + 1.2 * root)
           + molality * (PITZER_B0 + PITZER_B1 * math.exp(-2.0 * root)) + molality**2 * PITZER_C_PHI)
    water = liquid(t).rho
    return phi * 2.0 * molality * R * (t + 273.15) * water / 1e5, phi


def osmotic_deviation(salinity):
    """van 't Hoff as the models compute it over the Pitzer value, − 1, in %."""
    return (model_osmotic_bar(salinity) / pitzer_osmotic_bar(salinity)[0] - 1.0) * 100.0


def channel_mass_transfer(q, d, rho, mu, diffusivity):
    """The film coefficient of the reverse-osmosis models (turbulent branch at their defaults)."""
    re = (4.0 * q * rho) / (d * math.pi * mu)
    sc = mu / (rho * diffusivity)
    if re < 2300.0:
        sh = 1.62 * (sc * re * d) ** (1.0 / 3.0)
    else:
        f8 = (0.79 * math.log(re) - 1.64) ** -2.0 * 0.125
        sh = ((re - 1000.0) * f8 * sc) / ((sc ** (2.0 / 3.0) - 1.0) * (12.7 * math.sqrt(f8)) + 1.0)
    return max(0.0, sh) * diffusivity / d


# ---- measurement ---------------------------------------------------------------

def measure():
    rows = []
    for t in TEMPERATURES:
        ref = liquid(t)
        mu_ref = _Viscosity(ref.rho, t + 273.15)
        rows.append({
            "t": t,
            "density": (model_density(t), ref.rho),
            "viscosity": (model_viscosity(t), mu_ref),
            "heat_capacity": (model_heat_capacity(t), ref.cp * 1e3),
            "vapour_pressure": (model_vapour_pressure(t), saturation_pressure(t)),
        })
    return rows


def error(pair):
    model, ref = pair
    return (model / ref - 1.0) * 100.0


def at(rows, t):
    return next(r for r in rows if r["t"] == t)


def span(rows, key, lo=1.0, hi=99.0):
    values = [error(r[key]) for r in rows if lo <= r["t"] <= hi]
    return min(values), max(values)


def effects(rows):
    """What the deviations mean at the models' own defaults."""
    e = {}
    # Darcy flux ∝ 1/μ (micromech, default 20 °C).
    r20 = at(rows, 20.0)
    e["micromech_flux"] = (r20["viscosity"][1] / r20["viscosity"][0] - 1.0) * 100.0
    # Film coefficient of osmomech's solutes at its defaults, with each viscosity.
    ro = layout("osmomech").module
    u, p = ro.default_input(), ro.default_params()
    r25 = at(rows, 25.0)
    rho = r25["density"][0]
    ratios = []
    for i in range(5):
        k_model = channel_mass_transfer(u[0], p[3], rho, r25["viscosity"][0], p[13 + i])
        k_ref = channel_mass_transfer(u[0], p[3], rho, r25["viscosity"][1], p[13 + i])
        ratios.append(k_model / k_ref)
    e["osmomech_k"] = ((min(ratios) - 1.0) * 100.0, (max(ratios) - 1.0) * 100.0)
    flux = named("osmomech")["flux"]
    k3 = channel_mass_transfer(u[0], p[3], rho, r25["viscosity"][0], p[15])
    k3_ref = channel_mass_transfer(u[0], p[3], rho, r25["viscosity"][1], p[15])
    e["osmomech_wall"] = (math.exp(flux / k3) / math.exp(flux / k3_ref) - 1.0) * 100.0
    # Membrane distillation at 80 / 50 °C: driving vapour-pressure difference and the heat capacity.
    r80, r50 = at(rows, 80.0), at(rows, 50.0)
    dp_model = r80["vapour_pressure"][0] - r50["vapour_pressure"][0]
    dp_ref = r80["vapour_pressure"][1] - r50["vapour_pressure"][1]
    e["md_driving"] = (dp_model / dp_ref - 1.0) * 100.0
    e["cp80"] = error(r80["heat_capacity"])
    # distilmech's latent term: the slot is J/m³ of permeate, the default a J/kg figure.
    y = named("distilmech")
    h_fg = latent_heat(80.0)
    sensible = y["heat_duty_w"] - y["permeate_flow"] * 2.26e6
    latent_true = y["permeate_flow"] * r80["density"][1] * h_fg
    e["latent"] = {"duty": y["heat_duty_w"], "latent_model": y["permeate_flow"] * 2.26e6, "sensible": sensible,
                   "latent_true": latent_true, "duty_true": sensible + latent_true, "h_fg": h_fg,
                   "slot_value": r80["density"][1] * 2.26e6}
    # distilmech's Knudsen term: M = 18000 in the diffusivity, and no molar conversion M/(R·T) in the flux.
    lay = layout("distilmech")
    p = lay.module.default_params()
    th = 80.0 + 273.15
    pore, porosity, tortuosity, thickness = p[2], p[3], p[4], p[1]
    d_k = pore / 3.0 * math.sqrt(8.0 * R * th / (math.pi * 0.018))
    dp = y["feed_vapour_pressure_pa"] - y["cold_side_vapour_pressure_pa"]
    mass_flux = porosity / (tortuosity * thickness) * d_k * dp * 0.018 / (R * th)
    rho80 = r80["density"][0]
    e["knudsen"] = {"model_dk": y["knudsen_diffusivity"], "dk": d_k, "model_lmh": y["flux_lmh"],
                    "lmh": mass_flux / rho80 * 3.6e6, "ratio": y["flux_lmh"] / (mass_flux / rho80 * 3.6e6)}
    # Osmotic pressure of sodium chloride at 25 °C.
    pitzer35, phi35 = pitzer_osmotic_bar(35.0)
    e["osmotic35"] = {"vant_hoff": model_osmotic_bar(35.0), "pitzer": pitzer35, "phi": phi35}
    return e


# ---- output --------------------------------------------------------------------

def draw(rows):
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    fig = Figure(figsize=(7.5, 9.0), layout="constrained")
    FigureCanvasAgg(fig)
    top, middle, bottom = fig.subplots(3, 1)
    t = [r["t"] for r in rows]
    series = [("viscosity", "viscosity (IAPWS 2008)", "tab:red"),
              ("heat_capacity", "specific heat (IAPWS-95, 0.101325 MPa)", "tab:orange"),
              ("vapour_pressure", "vapour pressure (IAPWS-95 saturation)", "tab:blue"),
              ("density", "density (IAPWS-95, 0.101325 MPa)", "tab:green")]
    for axis, limit in ((top, None), (middle, 1.0)):
        for key, label, colour in series:
            axis.plot(t, [error(r[key]) for r in rows], label=label, color=colour, linewidth=1.8)
        axis.axhline(0.0, color="0.5", linewidth=0.8)
        axis.set_xlabel("temperature [°C]")
        axis.set_ylabel("model / reference − 1 [%]")
        axis.grid(True, color="0.9")
        if limit:
            axis.set_ylim(-limit, limit)
            axis.set_title("the same, within ±1 %", fontsize=10)
    top.legend(fontsize=8, loc="upper left")
    top.set_title("water-property correlations of the models against the reference", fontsize=10)
    salinity = np.linspace(1.0, 70.0, 70)
    bottom.plot(salinity, [osmotic_deviation(s) for s in salinity], color="tab:purple", linewidth=1.8,
                label="van 't Hoff as the models (i = 2) / Pitzer osmotic coefficient − 1")
    bottom.axhline(0.0, color="0.5", linewidth=0.8)
    bottom.set_xlabel("sodium chloride [g/kg; the models read the same number as kg/m³]")
    bottom.set_ylabel("osmotic pressure, deviation [%]")
    bottom.set_title("van 't Hoff osmotic pressure of sodium chloride at 25 °C", fontsize=10)
    bottom.grid(True, color="0.9")
    bottom.legend(fontsize=8, loc="upper right")
    fig.savefig(FIGURE, dpi=110)


def fmt(x, digits=2):
    return f"{x:+.{digits}f}"


def page(rows, e):
    def row_at(t):
        r = at(rows, t)
        return (f"| {t:.0f} | {fmt(error(r['density']), 4)} | {fmt(error(r['viscosity']), 1)} | "
                f"{fmt(error(r['heat_capacity']), 2)} | {fmt(error(r['vapour_pressure']), 2)} |")

    d_lo, d_hi = span(rows, "density")
    mu_lo, mu_hi = span(rows, "viscosity")
    cp_lo, cp_hi = span(rows, "heat_capacity", 1.0, 60.0)
    ps_lo, ps_hi = span(rows, "vapour_pressure")
    cp80, cp95 = error(at(rows, 80.0)["heat_capacity"]), error(at(rows, 95.0)["heat_capacity"])
    o = e["osmotic35"]
    lat, kn = e["latent"], e["knudsen"]
    k_lo, k_hi = e["osmomech_k"]
    lines = f"""<!-- Generated by tools/accuracy.py; do not edit. -->
# Accuracy of the property correlations

The models compute water density, viscosity, specific heat, vapour pressure and osmotic pressure
from fixed correlations, and their results are defined by those correlations: they stay as they
are. This page measures how far each correlation is from a reference formulation, so that a user
can judge what that means for a result. `tools/accuracy.py` (hydrokit {hydrokit.__version__}) reads
every model value from the built modules and the references from the `iapws` package; it wrote
this page and the figure.

![Relative deviation of the correlations from 1 to 99 °C, and osmotic pressure of sodium chloride](accuracy.png)

| °C | density % | viscosity % | specific heat % | vapour pressure % |
|---|---|---|---|---|
{chr(10).join(row_at(t) for t in (1.0, 10.0, 20.0, 25.0, 40.0, 60.0, 80.0, 95.0, 99.0))}

Deviation = model / reference − 1. References: liquid water at 0.101325 MPa by IAPWS-95
(density, isobaric specific heat), the IAPWS 2008 formulation for the viscosity, and the
saturation pressure by IAPWS-95.

## Density

Kell's correlation, used by osmomech, nanomech and the three distillation models: from
{fmt(d_lo, 4)} % to {fmt(d_hi, 4)} % between 1 and 99 °C. No result of consequence changes.

## Viscosity

The models' viscosity is {mu_lo:.0f} to {mu_hi:.0f} % high at every temperature ({fmt(mu_lo, 1)} % at
1 °C, {fmt(span(rows, "viscosity", 10.0, 99.0)[0], 1)} % to {fmt(mu_hi, 1)} % from 10 to 99 °C). The correlation is the base-10 form 10^(247.8 / (T − 140 K)) with the constant
0.02939 mPa·s, which belongs to the exponential form exp(507.88 / (T − 149.3 K)); the base-10
form's constant is 0.02414 mPa·s (0.02939 / 0.02414 = 1.217).

- micromech: the Darcy flux is ΔP / (μ·R_m), so at a given pressure the flux is
  {fmt(e['micromech_flux'], 1)} % off at 20 °C (the micromech default) and the area
  {fmt(error(at(rows, 20.0)['viscosity']), 1)} %; equivalently, a membrane resistance fitted to measured
  fluxes with this model comes out {abs(e['micromech_flux']):.0f} % low.
- osmomech (and nanomech): the viscosity enters only the channel mass-transfer coefficient
  (Reynolds and Schmidt numbers). At osmomech's defaults the coefficients come out
  {fmt(k_lo, 1)} % to {fmt(k_hi, 1)} % off, which moves the polarisation factor exp(J/k) of the
  slowest-diffusing solute by {fmt(e['osmomech_wall'], 3)} %: negligible for the flux.

## Specific heat

The fourth-degree polynomial of the distillation models is within {max(abs(cp_lo), abs(cp_hi)):.1f} % up to
60 °C, but {fmt(cp80, 1)} % at 80 °C and {fmt(cp95, 1)} % at 95 °C. In distillumped and distilaxial the
temperature change of each stream is the heat flow over ρ·Q·c_p, so at an 80 °C feed the feed
cools about {abs(cp80):.0f} % too little; in distilmech the sensible heat duty of warming the feed to
80 °C is about {abs(cp80):.0f} % too high.

## Vapour pressure

The Antoine equation of the distillation models is within {fmt(ps_lo, 2)} % to {fmt(ps_hi, 2)} % of
the saturation pressure from 1 to 99 °C. At the models' default 80 °C feed and 50 °C cold side the
driving difference is {fmt(e['md_driving'], 2)} % off, and the vapour flux with it.

## Osmotic pressure

osmomech, nanomech, osmolumped and osmoaxial use the ideal van 't Hoff relation π = i·c·R·T
(osmolumped and osmoaxial with i = 2 for their default sodium chloride; osmocascade has its own
form with R = 8.314). For sodium chloride at 35 g/kg and 25 °C the models give
{o['vant_hoff']:.2f} bar (the default 35 read as kg/m³) where a Pitzer osmotic coefficient
(φ = {o['phi']:.3f}) gives {o['pitzer']:.2f} bar: {fmt((o['vant_hoff'] / o['pitzer'] - 1) * 100, 1)} %. The
osmotic back-pressure is overestimated by about {o['vant_hoff'] - o['pitzer']:.1f} bar, so at a given
feed pressure the flux is low by that over the net driving pressure
({(o['vant_hoff'] - o['pitzer']) / 30 * 100:.0f} % at 30 bar net),
and a required pressure is that much too high. The deviation depends on the concentration
(figure, bottom): {fmt(osmotic_deviation(10.0), 1)} % at 10 g/kg, {fmt(osmotic_deviation(35.0), 1)} % at 35 g/kg,
{fmt(osmotic_deviation(70.0), 1)} % at 70 g/kg (brine), where the ideal relation starts to fall short.

## Latent heat in distilmech

distilmech's `latent_heat` slot is in J/m³ of permeate (the heat duty adds Qp·`latent_heat` with
Qp in m³/s), but its default 2.26e6 is the latent heat of water in J/kg. The latent part of the
duty is therefore about 1000× too small (ρ·Δh / 2.26e6 = {lat['latent_true'] / lat['latent_model']:.0f} at 80 °C): at the defaults the model's
heat duty is {lat['duty']:.0f} W, of which {lat['latent_model']:.0f} W latent; with the latent heat of
water at 80 °C ({lat['h_fg'] / 1e6:.3f} MJ/kg, IAPWS-95) the evaporation alone takes
{lat['latent_true'] / 1e3:.0f} kW and the duty would be {lat['duty_true'] / 1e3:.0f} kW,
{lat['duty_true'] / lat['duty']:.1f}× the model's. To get a physical duty, give the latent heat per
volume: `latent_heat` ≈ 2.26e6 J/kg × {at(rows, 80.0)['density'][1]:.0f} kg/m³ ≈ {lat['slot_value'] / 1e9:.2f}e9 J/m³.
distillumped and distilaxial take their `latent_heat` in J/kg with a mass flux and are not affected.

## Knudsen diffusivity in distilmech

distilmech's Knudsen diffusivity D_K = (d_p/3)·√(8·R·T / (π·M)) uses M = 18000 where the SI value
0.018 kg/mol belongs, which makes D_K 1000× too small ({kn['model_dk']:.3g} instead of
{kn['dk']:.3g} m²/s at the defaults); and the flux J = ε·D_K·Δp / (τ·δ·ρ) lacks the factor
M / (R·T) that turns a partial-pressure difference into a molar flux. Together the default flux is
{kn['model_lmh']:.0f} L/(m²·h), {kn['ratio']:.0f}× the Knudsen flux of the same membrane and vapour-pressure
difference ({kn['lmh']:.0f} L/(m²·h), itself an upper bound with no polarisation) and far above the
10 to 40 L/(m²·h) of practice. The area comes out that many times too small. To use the model
for sizing, scale the permeance by the ratio, for example through `porosity` or
`membrane_thickness`, against a measured flux.

## What is not covered

Salinity effects on density, vapour pressure and specific heat (the models use pure-water
correlations throughout), osmocascade's temperature correction of the permeability, and the
pressure dependence of the properties.
"""
    return lines


def main():
    rows = measure()
    e = effects(rows)
    draw(rows)
    PAGE.write_text(page(rows, e), encoding="utf-8")
    print(f"wrote {PAGE.relative_to(ROOT)} and {FIGURE.relative_to(ROOT)}")


if __name__ == "__main__":
    main()
