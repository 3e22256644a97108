// Physical ultrafiltration: one pressure-driven stage. The flux is the
// hydraulic permeability times the transmembrane pressure, the area is what
// that flux needs to pass the permeate at a set recovery, and four particle
// classes are held back by a Gaussian size-exclusion curve against the pore size.
#include <cmath>

#include "common/model.hpp"
#include "slots/ultramech.hpp"

namespace hydrokit::ultramech {

// Fraction of a class of size a held back by pores of size d: 1 − exp(−λ²/2)
// with λ = a/d, so a class much larger than the pores is fully rejected.
inline double gaussian_rejection(double size, double d) {
    const double a = clamp(size, 0.0, 1e9);
    const double lambda = a / d;
    const double t = std::exp((lambda * -0.5) * lambda);
    return clamp(1.0 - t, 0.0, 1.0);
}

void ultramech_core(const double* u, const double* p, double* y) {
    const double r = clamp(p[Par::recovery], 0.0, 1.0);
    const double k = p[Par::permeability] > 0 ? p[Par::permeability] : 5e-11;
    const double d = p[Par::pore_size_m] > 0 ? p[Par::pore_size_m] : 5e-9;
    const double eta = p[Par::pump_efficiency] < 0.01 ? 0.01 : min(1.0, p[Par::pump_efficiency]);

    // A negative flow or pressure has no meaning here: leave every output as
    // allocated (all zeros). Statuses −1 and −2 stay inside the module.
    const double q = u[In::feed_flow];
    if (q < 0) return;
    if (u[In::transmembrane_pressure_bar] < 0) return;

    const double dp = u[In::transmembrane_pressure_bar] * 100000.0;  // Pa
    const double j = dp * k;
    const double qp = r * q;
    const double area = j > 1e-15 ? qp / j : 0.0;
    const double qc = q - qp;
    // The whole feed is pumped across the full transmembrane pressure.
    const double power_kw = (dp * q) / (eta * 1000.0);
    const double daily_kwh = power_kw * 24.0;

    double sigma[classes], cp[classes], cc[classes];
    for (int i = 0; i < classes; ++i) {
        sigma[i] = gaussian_rejection(p[Par::class1_size_m + i], d);
        const double feed = u[In::class1_feed_conc + i];
        const double cf = feed < 0 ? 0.0 : feed;
        cp[i] = (1.0 - sigma[i]) * cf;
        double c = qc > 1e-15 ? (cf * q - cp[i] * qp) / qc : 0.0;
        // Round-off of the mass balance just below zero is no concentration.
        if (c > -1e-9 && c < 0) c = 0.0;
        cc[i] = c;
    }

    y[Out::permeate_flow] = qp;
    y[Out::concentrate_flow] = qc;
    y[Out::flux] = j;
    y[Out::membrane_area] = area;
    y[Out::pump_power_kw] = power_kw;
    y[Out::daily_energy_kwh] = daily_kwh;
    for (int i = 0; i < classes; ++i) {
        y[Out::class1_rejection + i] = sigma[i];
        y[Out::class1_permeate_conc + i] = cp[i];
        y[Out::class1_concentrate_conc + i] = cc[i];
    }
}

}  // namespace hydrokit::ultramech

HYDROKIT_MODEL(ultramech)
