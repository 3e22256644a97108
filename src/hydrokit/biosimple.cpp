// Zero-order membrane bioreactor: a set recovery splits the feed into permeate
// and reject, a power law in the feed flow gives the specific energy, and each
// of seven components is removed from the permeate with its own fixed fraction.
// The removed part leaves with the reject stream; both outlet concentrations
// follow from the mass balance. No kinetics, no temperature, no iteration.
#include <cmath>

#include "common/model.hpp"
#include "slots/biosimple.hpp"

namespace hydrokit::biosimple {

// Stand-ins for a non-finite energy law, the law's defaults.
constexpr double fallback_energy_coefficient = 9.5;
constexpr double fallback_energy_exponent = -0.3;

void biosimple_core(const double* u, const double* p, double* y) {
    const double q = finite_non_negative(u[In::feed_flow]);
    const double r = clamp_or_low(p[Par::recovery], 0.0, 1.0);
    const double a = finite_or(p[Par::energy_coefficient], fallback_energy_coefficient);
    const double b = finite_or(p[Par::energy_exponent], fallback_energy_exponent);

    const double qp = r * q;
    const double qc = q - qp;

    // The power law is meaningless without flow; a negative or overflowing
    // energy is no energy.
    double e = 0.0;
    double energy_rate = 0.0;
    if (q > 0) {
        e = finite_non_negative(std::pow(q, b) * a);
        energy_rate = e * q;
    }

    y[Out::feed_flow] = q;
    y[Out::permeate_flow] = qp;
    y[Out::concentrate_flow] = qc;
    y[Out::specific_energy] = e;
    y[Out::energy_rate] = energy_rate;

    // Per component: the unremoved part of the load goes to the permeate, the
    // removed part to the reject stream; an empty stream carries nothing.
    double removed = 0.0;
    for (int i = 0; i < components; ++i) {
        const double c = finite_non_negative(u[In::component1_feed_conc + i]);
        const double removal = clamp_or_low(p[Par::component1_removal + i], 0.0, 1.0);
        const double load = c * q / 1000.0;
        const double cp = qp > 0 ? ((1.0 - removal) * load / qp) * 1000.0 : 0.0;
        const double cc = qc > 0 ? (load * removal / qc) * 1000.0 : 0.0;
        y[Out::component1_permeate_conc + i] = finite_non_negative(cp);
        y[Out::component1_concentrate_conc + i] = finite_non_negative(cc);
        removed = removed + load * removal;
    }
    y[Out::removed_load] = removed;
}

}  // namespace hydrokit::biosimple

HYDROKIT_MODEL(biosimple)
