"""Membrane elements described the way their datasheets describe them.

A datasheet gives an element's permeate flow and salt rejection at standard
test conditions (feed concentration, applied pressure, temperature, element
recovery). :func:`fit_element` finds the water permeability and salt
permeability for which the element model itself, run at those conditions
on an element of the datasheet's area, gives that permeate flow and that
rejection. :func:`tcf` is the published temperature correction factor of
water permeability.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping
from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import NDArray

if TYPE_CHECKING:
    from .layout import Layout

Vector = NDArray[np.float64]
# run(A, B) -> (permeate flow m³/s, rejection, converged) of an element at fixed conditions
ElementRun = Callable[[float, float], tuple[float, float, bool]]

__all__ = ["fit_element", "tcf", "FITTED", "FitError"]

SECONDS_PER_DAY = 86400.0

# The slots a fit fills, per element model: (water permeability, salt permeability).
FITTED = {
    "osmolumped": ("permeability", "salt_permeability"),
    "osmomech": ("permeability", "solute1_solute_permeability"),
}
TEST_KEYS = ("pressure_bar", "concentration", "temperature_c", "recovery")


class FitError(ValueError):
    """A datasheet the element model cannot reproduce, or a request that is not one."""


def tcf(temperature_c: float) -> float:
    """Temperature correction factor of water permeability, 1 at 25 °C.

    TCF = exp[2640 · (1/298 − 1/(273 + T))] at and above 25 °C, with 3020 in
    place of 2640 below 25 °C (T in °C).

    >>> round(tcf(25), 12), round(tcf(15), 3), round(tcf(35), 3)
    (1.0, 0.703, 1.333)
    """
    t = float(temperature_c)
    k = 2640.0 if t >= 25.0 else 3020.0
    return math.exp(k * (1.0 / 298.0 - 1.0 / (273.0 + t)))


def _vectors(model: str, slots: Mapping[str, float]) -> tuple[Layout, Vector, Vector]:
    from .layout import layout

    lay = layout(model)
    u: Vector = lay.module.default_input()
    p: Vector = lay.module.default_params()
    for name, value in slots.items():
        vector, index = lay.resolve(name)
        (u if vector == "u" else p)[index] = float(value)
    return lay, u, p


def _element(model: str, area: float, qp: float, conditions: Mapping[str, float],
             slots: Mapping[str, float]) -> ElementRun:
    """run(A, B) -> (permeate flow m³/s, rejection, converged) of the element at the test conditions."""
    lay, u, p = _vectors(model, slots)
    r = conditions["recovery"]

    def put(vec: Vector, name: str, value: float) -> None:
        vec[lay.resolve(name)[1]] = value
    put(u, "feed_flow", qp / r)
    put(u, "temperature_c", conditions["temperature_c"])
    a_slot, b_slot = FITTED[model]
    a_index, b_index = lay.resolve(a_slot)[1], lay.resolve(b_slot)[1]
    if model == "osmolumped":
        # The applied pressure is transmembrane: the feed sits that far above the permeate.
        permeate_bar = u[lay.resolve("permeate_pressure_bar")[1]]
        put(u, "feed_pressure_bar", conditions["pressure_bar"] + permeate_bar)
        put(u, "feed_salinity", conditions["concentration"] / 1000.0)  # g/m³ -> kg/m³
        put(p, "membrane_area", area)
        names = [s.name for s in lay.output_slots(p)]

        def run(a: float, b: float) -> tuple[float, float, bool]:
            p[a_index], p[b_index] = a, b
            y: Vector = lay.module.run(u, p)
            return y[names.index("permeate_flow")], y[names.index("salt_rejection")], y[names.index("not_converged")] == 0
    else:
        put(u, "feed_pressure_bar", conditions["pressure_bar"])
        for i in range(1, 6):
            put(u, f"solute{i}_feed_conc", 0.0)
        put(u, "solute1_feed_conc", conditions["concentration"])
        put(p, "recovery", r)
        names = [s.name for s in lay.output_slots(p)]

        def run(a: float, b: float) -> tuple[float, float, bool]:
            p[a_index], p[b_index] = a, b
            y: Vector = lay.module.run(u, p)
            # The model sets the permeate flow and reports the area that gives it:
            # the flow an element of the datasheet's area gives scales with that area.
            flow = qp * area / y[names.index("membrane_area")] if y[names.index("membrane_area")] > 0 else 0.0
            return flow, y[names.index("solute1_rejection")], y[names.index("not_converged")] == 0
    return run


def _osmotic_bar(model: str, conditions: Mapping[str, float], slots: Mapping[str, float]) -> float:
    """Van 't Hoff osmotic pressure (bar) of the test feed, with the element model's salt."""
    lay, _, p = _vectors(model, slots)
    molar: float   # g per mol of dissolved particles
    if model == "osmolumped":
        molar = p[lay.resolve("solute_molar_mass")[1]] * p[lay.resolve("vant_hoff_factor")[1]] ** -1
    else:
        molar = p[lay.resolve("solute1_molar_mass")[1]]
    return conditions["concentration"] / molar * 8.31446261815324 * (conditions["temperature_c"] + 273.15) / 1e5


def fit_element(model: str, area: float, permeate_flow: float, salt_rejection: float,
                test_conditions: Mapping[str, float], **element_slots: float) -> dict[str, float]:
    """Water and salt permeability that make ``model`` reproduce a datasheet.

    Parameters
    ----------
    model : str
        The element model: ``"osmolumped"`` (one lumped salt) or
        ``"osmomech"`` (the datasheet's salt as solute 1).
    area : float
        Membrane area of the element, m².
    permeate_flow : float
        The datasheet's permeate flow, m³/s (a datasheet's m³/d / 86400).
    salt_rejection : float
        The datasheet's salt rejection, a fraction (0.995 for 99.5 %), as
        1 − permeate / feed concentration.
    test_conditions : mapping
        ``pressure_bar`` (applied, above the permeate), ``concentration``
        (g/m³ of salt in the feed), ``temperature_c`` (default 25) and
        ``recovery`` (the element recovery of the test, a fraction).
    **element_slots : float
        Other slots of the element model as the element runs (e.g.
        ``mass_transfer_coeff``); they shape the fit.

    Returns
    -------
    dict
        The model's slot names -> fitted values (m/(s·Pa) and m/s).

    Raises
    ------
    FitError
        For a model that is not fitted this way, conditions out of range,
        or a datasheet the model cannot reach.

    Examples
    --------
    A brackish element of 37 m², 42 m³/d and 99.5 % at 15.5 bar, 2 g/L,
    25 °C and 15 % recovery:

    >>> from hydrokit.membranes import fit_element
    >>> fit = fit_element("osmolumped", 37, 42 / 86400, 0.995,
    ...                   dict(pressure_bar=15.5, concentration=2000, recovery=0.15),
    ...                   mass_transfer_coeff=6e-5)
    >>> sorted(fit), 1e-12 < fit["permeability"] < 1e-10
    (['permeability', 'salt_permeability'], True)
    """
    from scipy.optimize import brentq

    if model not in FITTED:
        raise FitError(f"fit_element fits {', '.join(FITTED)}, not {model!r}")
    conditions = {"temperature_c": 25.0, **dict(test_conditions)}
    unknown = [k for k in conditions if k not in TEST_KEYS]
    missing = [k for k in TEST_KEYS if k not in conditions]
    if unknown or missing:
        raise FitError(f"test conditions take {', '.join(TEST_KEYS)}; "
                       f"{'unknown: ' + ', '.join(unknown) if unknown else 'missing: ' + ', '.join(missing)}")
    conditions = {k: float(v) for k, v in conditions.items()}
    area, qp, rej = float(area), float(permeate_flow), float(salt_rejection)
    if not (area > 0 and qp > 0 and 0 < rej < 1 and 0 < conditions["recovery"] < 1
            and conditions["pressure_bar"] > 0 and conditions["concentration"] > 0):
        raise FitError("area, permeate flow and pressure must be positive, rejection and recovery in (0, 1), "
                       "the concentration positive")
    for own in FITTED[model]:
        if own in element_slots:
            raise FitError(f"{own} is what the fit finds; do not give it")
    osmotic = _osmotic_bar(model, conditions, element_slots)
    if not osmotic < conditions["pressure_bar"]:
        raise FitError(f"the feed's osmotic pressure ({osmotic:.4g} bar) is not below the test pressure "
                       f"({conditions['pressure_bar']:.4g} bar): no permeate can flow")
    run = _element(model, area, qp, conditions, element_slots)

    def water(b: float) -> float:
        # The permeability giving the datasheet's flow, for salt permeability b: bracketed
        # from below, a decade at a time (far above the answer the element's iteration
        # no longer settles), then refined.
        def f(log_a: float) -> float:
            return math.log(max(run(math.exp(log_a), b)[0], 1e-300) / qp)

        lo = math.log(1e-14)
        if not f(lo) < 0:
            raise FitError("even a permeability of 1e-14 m/(s·Pa) gives more than the datasheet's flow")
        for _ in range(6):
            hi = lo + math.log(10.0)
            if f(hi) > 0:
                break
            lo = hi
        else:
            raise FitError(f"no permeability in [1e-14, 1e-8] m/(s·Pa) gives {qp:.6g} m³/s at these conditions")
        return math.exp(brentq(f, lo, hi, xtol=1e-14, rtol=4 * np.finfo(float).eps, maxiter=200))

    def passage(log_b: float) -> float:
        b = math.exp(log_b)
        _, rejection, _ = run(water(b), b)
        return math.log((1.0 - rejection) / (1.0 - rej)) if rejection < 1.0 else -50.0

    lo, hi = math.log(1e-13), math.log(1e-5)
    if not passage(lo) < 0 < passage(hi):
        raise FitError(f"no salt permeability in [1e-13, 1e-5] m/s gives a rejection of {rej} at these conditions")
    b = math.exp(brentq(passage, lo, hi, xtol=1e-14, rtol=4 * np.finfo(float).eps, maxiter=200))
    a = water(b)
    flow, rejection, converged = run(a, b)
    if not converged or abs(flow / qp - 1.0) > 1e-9 or abs((1.0 - rejection) / (1.0 - rej) - 1.0) > 1e-6:
        raise FitError(f"the element model does not settle on the datasheet: {flow:.9g} m³/s, rejection "
                       f"{rejection:.9g}, converged {bool(converged)}")
    return dict(zip(FITTED[model], (a, b)))


def fill_from_datasheet(model: str, area: float, slots: dict[str, float], datasheet: Mapping[str, float] | None,
                        fouling_factor: float | None, design_temperature_c: float | None,
                        what: str) -> dict[str, float]:
    """Fill an array's element slots from a datasheet, fouling and temperature; what was done, as a dict.

    ``slots`` (the element slots as given) is changed in place."""
    from .ports import FlowsheetError

    report: dict[str, float] = {}
    if datasheet is not None:
        sheet = dict(datasheet)
        flow = sheet.pop("permeate_flow", None)
        per_day = sheet.pop("permeate_flow_m3d", None)
        if (flow is None) == (per_day is None):
            raise FlowsheetError(f"{what}: the datasheet gives permeate_flow (m³/s) or permeate_flow_m3d (m³/d)")
        if per_day is not None:
            flow = float(per_day) / SECONDS_PER_DAY
        assert flow is not None   # exactly one of the two is given
        rejection = sheet.pop("salt_rejection", None)
        if rejection is None:
            raise FlowsheetError(f"{what}: the datasheet gives salt_rejection (a fraction)")
        shared = {k: v for k, v in slots.items() if not k.startswith("stage")}
        try:
            fitted = fit_element(model, area, flow, rejection, sheet, **shared)
        except FitError as err:
            raise FlowsheetError(f"{what}: datasheet: {err}") from None
        except Exception as err:  # an unknown slot name, from the layout
            raise FlowsheetError(f"{what}: datasheet: {err}") from None
        slots.update(fitted)
        report.update({f"{k}_fitted": v for k, v in fitted.items()})
    if fouling_factor is None and design_temperature_c is None:
        return report
    key = FITTED.get(model, ("permeability",))[0]
    if key not in slots:
        _, _, p = _vectors(model, {})
        from .layout import layout

        slots[key] = p[layout(model).resolve(key)[1]]
    factor = 1.0
    if fouling_factor is not None:
        fouling = float(fouling_factor)
        if not 0 < fouling <= 1:
            raise FlowsheetError(f"{what}: fouling_factor must lie in (0, 1], got {fouling_factor!r}")
        report["fouling_factor"] = fouling
        factor *= fouling
    if design_temperature_c is not None:
        report["design_temperature_c"] = float(design_temperature_c)
        report["tcf"] = tcf(design_temperature_c)
        factor *= report["tcf"]
    slots[key] = float(slots[key]) * factor
    report[key] = slots[key]
    return report
