// One reverse-osmosis element with uniform conditions and one lumped salt:
// solution-diffusion water and salt transport with film-model polarisation,
// solved by a damped fixed point on flux, wall and permeate concentration.
// The lumped model runs it once; the segmented model once per segment.
#pragma once

#include <cmath>
#include <cstdint>

#include "poll.hpp"
#include "properties.hpp"
#include "replace.hpp"

namespace hydrokit {

// Osmotic pressure (Pa) of a salt concentration c in kg/m³ with molar mass in
// g/mol and dissociation factor i at t_k kelvin; no pressure without salt or
// with a non-positive molar mass.
inline double lumped_osmotic_pressure(double c, double molar_mass, double i, double t_k) {
    const double m = molar_mass / 1000.0;  // kg/mol
    if (c <= 0 || m <= 0) return 0.0;
    return (((c / m) * i) * gas_constant) * t_k;
}

struct LumpedElement {
    double flux;                      // m/s, damped
    double permeate_conc;             // kg/m³, damped
    double wall_conc;                 // kg/m³, last pass
    double net_driving_pressure_bar;  // bar, may be negative
    double not_converged;             // 0 or 1
    int64_t passes;                   // pass that stopped the iteration; cap + 1 at the cap
};

// cb: bulk concentration (kg/m³, ≥ 0); t_k: K; dp: applied pressure difference
// (Pa, ≥ 0); a: water permeability m/(s·Pa); b: salt permeability m/s;
// k: film coefficient m/s; molar_mass: g/mol; i: dissociation factor;
// cap: pass cap (≥ 1); tol: relative tolerance.
inline LumpedElement lumped_element_solve(double cb, double t_k, double dp, double a, double b,
                                          double k, double molar_mass, double i, int64_t cap,
                                          double tol) {
    const double kk = max(1e-12, k);
    // Start from the flux with no osmotic back-pressure.
    double j = max(0.0, dp * a);
    double cp = 0.0;
    double cm = cb;
    int64_t n = 1;
    double flag = 1.0;
    for (;;) {
        const double f = poll_exp(clamp(j / kk, -50.0, 50.0));

        // Film model with salt passage; the wall never drops below the bulk.
        double h;
        if (j > 1e-15) {
            h = f * cb - (((cm - cp) * b) / j) * (f - 1.0);
        } else {
            h = cb;
        }
        cm = max(cb, h);

        double cpn = j > 1e-15 ? max(0.0, (cm - cp) * b) / j : 0.0;
        cpn = min(cm, max(0.0, cpn));

        const double d_pi = lumped_osmotic_pressure(cm, molar_mass, i, t_k) -
                            lumped_osmotic_pressure(cpn, molar_mass, i, t_k);
        const double jn = max(0.0, dp - d_pi) * a;

        const double dc = std::fabs(cpn - cp) / (std::fabs(cp) + 1e-12);
        const double dj = std::fabs(jn - j) / (std::fabs(j) + 1e-12);

        j = 0.5 * jn + 0.5 * j;
        cp = 0.5 * cpn + 0.5 * cp;  // the wall concentration is left undamped

        if (dj < tol && dc < tol) {
            flag = 0.0;
            break;
        }
        n = n + 1;
        if (n > cap) break;
    }
    const double net = (dp - (lumped_osmotic_pressure(cm, molar_mass, i, t_k) -
                              lumped_osmotic_pressure(cp, molar_mass, i, t_k))) /
                       100000.0;
    return {j, cp, cm, net, flag, n};
}

}  // namespace hydrokit
