// Zero-order reactive membrane bioreactor: two fixed-fraction reactions act on
// the feed before the membrane (part of component 1 is degraded and leaves the
// system, part of component 4 is converted into component 5), then the
// membrane splits each of the five reacted loads between permeate and
// concentrate with a fixed removal fraction. The specific energy is a plain
// parameter. No kinetics, no temperature, no iteration.
#include "common/model.hpp"
#include "slots/biodynamic.hpp"

namespace hydrokit::biodynamic {

// Positions of the reacting components among the five.
constexpr int degradable = 0;   // component 1
constexpr int convertible = 3;  // component 4
constexpr int product = 4;      // component 5, receives the converted load

// Stand-in for a non-finite specific energy, its default.
constexpr double fallback_specific_energy = 0.1;

void biodynamic_core(const double* u, const double* p, double* y) {
    const double q = finite_non_negative(u[In::feed_flow]);
    const double r = clamp_or_low(p[Par::recovery], 0.0, 1.0);
    const double e = finite_or(p[Par::specific_energy], fallback_specific_energy);
    const double fc = clamp_or_low(p[Par::conversion_fraction], 0.0, 1.0);
    const double fd = clamp_or_low(p[Par::degradation_fraction], 0.0, 1.0);

    const double qp = r * q;
    const double qc = q - qp;
    const double energy_rate = e * q;

    double load[components];
    double removal[components];
    for (int k = 0; k < components; ++k) {
        load[k] = q * finite_non_negative(u[In::component1_feed_conc + k]) / 1000.0;
        removal[k] = clamp_or_low(p[Par::component1_removal + k], 0.0, 1.0);
    }

    // Reactions ahead of the membrane: the converted load moves from
    // component 4 to component 5 unchanged; the degraded load leaves the
    // system and is carried by neither outlet.
    const double converted = fc * load[convertible];
    const double degraded = fd * load[degradable];
    load[product] = load[product] + converted;
    load[convertible] = load[convertible] - converted;
    load[degradable] = load[degradable] - degraded;
    for (double& l : load) l = finite_non_negative(l);

    y[Out::feed_flow] = q;
    y[Out::permeate_flow] = qp;
    y[Out::concentrate_flow] = qc;
    y[Out::specific_energy] = e;
    y[Out::energy_rate] = energy_rate;
    y[Out::converted_load] = converted;
    y[Out::degraded_load] = degraded;

    // Membrane: the retained load goes to the concentrate, the rest to the
    // permeate; an empty stream carries nothing.
    double retained[components];
    for (int k = 0; k < components; ++k) {
        retained[k] = removal[k] * load[k];
        const double cp = qp > 0 ? ((load[k] - retained[k]) / qp) * 1000.0 : 0.0;
        const double cc = qc > 0 ? (retained[k] / qc) * 1000.0 : 0.0;
        y[Out::component1_permeate_conc + k] = finite_non_negative(cp);
        y[Out::component1_concentrate_conc + k] = finite_non_negative(cc);
    }
    double removed = retained[0];
    for (int k = 1; k < components; ++k) removed = removed + retained[k];
    y[Out::removed_load] = removed;

    if (q > 0) {
        y[Out::component1_reacted_conc] = (load[degradable] / q) * 1000.0;
        y[Out::component4_reacted_conc] = (load[convertible] / q) * 1000.0;
    } else {
        y[Out::component1_reacted_conc] = 0.0;
        y[Out::component4_reacted_conc] = 0.0;
    }
}

}  // namespace hydrokit::biodynamic

HYDROKIT_MODEL(biodynamic)
