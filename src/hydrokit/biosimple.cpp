// Zero-order membrane bioreactor: a set recovery splits the feed into permeate
// and reject, a power law in the feed flow gives the specific energy, and each
// of seven components is removed from the permeate with its own fixed fraction.
// The removed part leaves with the reject stream; both outlet concentrations
// follow from the mass balance. No kinetics, no temperature, no iteration.
#include <cmath>

#include "common/model.hpp"

namespace hydrokit::biosimple {

constexpr int components = 7;

namespace In {
enum : int32_t {
    feed_flow,             // caller's flow unit
    component1_feed_conc,  // g/m³; components 1 to 7 follow
    width = component1_feed_conc + components,
};
}

namespace Par {
enum : int32_t {
    component_count,     // count, accepted and not read: always seven components
    recovery,            // fraction, permeate flow / feed flow
    energy_coefficient,  // a of e = a·Q^b, energy per volume
    energy_exponent,     // b of e = a·Q^b
    component1_removal,  // fraction; components 1 to 7 follow
    width = component1_removal + components,
};
}

namespace Out {
enum : int32_t {
    feed_flow,                 // caller's flow unit
    permeate_flow,             // caller's flow unit
    concentrate_flow,          // caller's flow unit, the reject stream
    specific_energy,           // energy per volume
    energy_rate,               // energy per volume × flow
    component1_permeate_conc,  // g/m³, 7 components
    component1_concentrate_conc = component1_permeate_conc + components,  // g/m³, 7 components
    removed_load = component1_concentrate_conc + components,  // concentration × flow / 1000
    width,
};
}

constexpr double default_input[] = {100.0, 30.0, 15.0, 25.0, 1.0, 1.0, 1.0, 1.0};
constexpr double default_params[] = {
    7.0, 0.9999, 9.5, -0.3,
    0.5, 0.6, 0.70854, 0.88, 0.99, 0.998798, 0.9999,  // removal fractions
};

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

HYDROKIT_MODEL(biosimple, "Zero-order membrane bioreactor")
