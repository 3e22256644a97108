// Zero-order microfiltration: fixed fractions on a volume basis. The permeate
// is a set share of the feed volume, each solute's permeate concentration is
// its feed concentration less a set removal, the concentrate closes the mass
// balance, and electricity is a fixed intensity per volume of feed. A bad flow
// or concentration is taken as 0 and reported in the last output slot.
#include "common/model.hpp"
#include "slots/microsimple.hpp"

namespace hydrokit::microsimple {

// A fraction: non-finite or negative gives 0, above 1 gives 1.
inline double fraction(double x) { return (!is_finite(x) || x < 0) ? 0.0 : min(1.0, x); }

// Non-finite or negative flows and concentrations are unusable.
inline bool unusable(double x) { return !is_finite(x) || x < 0; }

void microsimple_core(const double* u, const double* p, double* y) {
    const double recovery = fraction(p[Par::recovery]);
    const double drop = p[Par::pressure_drop] > 0 ? p[Par::pressure_drop] : 0.0;
    const double intensity = p[Par::energy_intensity] > 0 ? p[Par::energy_intensity] : 0.0;
    const double mass_factor = p[Par::mass_factor] > 0 ? p[Par::mass_factor] : 0.001;
    const double hours_factor = p[Par::hours_factor] > 0 ? p[Par::hours_factor] : 0.041666666666666664;
    double removal[solutes];
    for (int j = 0; j < solutes; ++j) removal[j] = fraction(p[Par::solute1_removal + j]);

    double warning = 0;
    double q = u[In::feed_flow];
    if (unusable(q)) {
        q = 0.0;
        warning = 1;
    }

    y[Out::permeate_temperature_c] = u[In::temperature_c];
    const double qp = recovery * q;
    y[Out::permeate_flow] = qp;
    const double qc = q - qp;

    double outlet = u[In::feed_pressure] - drop;
    if (outlet < 0) outlet = 0.0;
    y[Out::permeate_pressure] = outlet;

    double c[solutes], cp[solutes];
    double removed = 0;
    for (int j = 0; j < solutes; ++j) {
        c[j] = u[In::solute1_feed_conc + j];
        if (unusable(c[j])) {
            c[j] = 0.0;
            warning = 2;
        }
        cp[j] = (1.0 - removal[j]) * c[j];
        y[Out::solute1_permeate_conc + j] = cp[j];
        removed = removed + ((c[j] * q) * removal[j]) * mass_factor;
    }

    y[Out::concentrate_flow] = qc;
    y[Out::concentrate_temperature_c] = u[In::temperature_c];
    y[Out::concentrate_pressure] = outlet;
    for (int j = 0; j < solutes; ++j)
        y[Out::solute1_concentrate_conc + j] = qc > 1e-12 ? (c[j] * q - cp[j] * qp) / qc : 0.0;

    y[Out::removed_solute_mass] = removed;
    y[Out::input_warning] = warning;

    const double power_kw = (intensity * q) * hours_factor;
    y[Out::electric_power_kw] = power_kw;
    y[Out::daily_energy_kwh] = power_kw * 24.0;
}

}  // namespace hydrokit::microsimple

HYDROKIT_MODEL(microsimple)
