// Physical microfiltration: one pressure-driven stage under Darcy's law. The
// flux is the transmembrane pressure over the water viscosity times a clean-
// membrane resistance, the area is what that flux needs to pass the permeate at
// a set recovery, and four particle classes are held back by a steric sieve.
// Every input is made usable (non-finite values included), so the core never fails.
#include <cmath>

#include "common/model.hpp"
#include "common/properties.hpp"
#include "slots/micromech.hpp"

namespace hydrokit::micromech {

// Steric rejection of a class of size a by pores of size d: a class at least
// as large as the pores is fully held back, a smaller one by 1 − (1 − a/d)².
double micromech_sieve(double a, double d) {
    if (d <= 0 || !is_finite(d)) return 0.0;
    if (a < 0 || !is_finite(a)) a = 0.0;
    const double lambda = a / d;
    if (lambda >= 1) return 1.0;
    const double sigma = 1.0 - ((1.0 - lambda) * (1.0 - lambda));
    if (!is_finite(sigma) || sigma < 0) return 0.0;
    return min(1.0, sigma);
}

// Non-finite or negative flows, pressures and concentrations count as 0.
inline double usable(double x) { return (!is_finite(x) || x < 0) ? 0.0 : x; }

void micromech_core(const double* u, const double* p, double* y) {
    double r = p[Par::recovery];
    r = (!is_finite(r) || r < 0) ? 0.0 : min(1.0, r);
    const double rm = p[Par::membrane_resistance] > 0 ? p[Par::membrane_resistance] : 1e11;
    const double d = p[Par::pore_size_m] > 0 ? p[Par::pore_size_m] : 1e-7;
    double eta = p[Par::pump_efficiency];
    if (!is_finite(eta)) {
        eta = 1e-6;
    } else if (eta < 1e-6) {
        eta = 1e-6;
    } else {
        eta = min(1.0, eta);
    }

    // The correlation is only trusted on liquid water at ambient pressure.
    const double t = finite_or(u[In::temperature_c], 20.0);
    const double tc = min(100.0, max(0.0, t));
    double mu = water_viscosity(tc);
    if (!is_finite(mu) || !(mu > 0)) mu = 0.001;

    const double q = usable(u[In::feed_flow]);
    const double dp = usable(u[In::transmembrane_pressure_bar]) * 100000.0;  // Pa

    // An infinite flux (a vanishing resistance) is no result: take it as 0.
    double j = dp / (mu * rm);
    if (!is_finite(j) || j < 0) j = 0.0;

    double sigma[classes];
    for (int i = 0; i < classes; ++i) sigma[i] = micromech_sieve(p[Par::class1_size_m + i], d);

    const double qp = r * q;
    const double qc = q - qp;
    const double area = j > 1e-14 ? qp / j : 0.0;

    double cp[classes], cc[classes];
    for (int i = 0; i < classes; ++i) {
        const double cf = usable(u[In::class1_feed_conc + i]);
        cp[i] = (1.0 - sigma[i]) * cf;
        cc[i] = qc > 1e-12 ? (cf * q - cp[i] * qp) / qc : 0.0;
    }

    const double power_kw = (dp * q) / (eta * 1000.0);
    const double daily_kwh = power_kw * 24.0;

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

}  // namespace hydrokit::micromech

HYDROKIT_MODEL(micromech)
