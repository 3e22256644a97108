// Zero-order microfiltration: fixed fractions on a volume basis. The permeate
// is a set share of the feed volume, each solute's permeate concentration is
// its feed concentration less a set removal, the concentrate closes the mass
// balance, and electricity is a fixed intensity per volume of feed. A bad flow
// or concentration is taken as 0 and reported in the last output slot.
#include "common/model.hpp"

namespace hydrokit::microsimple {

constexpr int solutes = 4;

namespace In {
enum : int32_t {
    feed_flow,          // m³/d
    temperature_c,      // °C, passed through
    feed_pressure,      // caller's unit
    solute1_feed_conc,  // mg/L with the default mass factor; solutes 1 to 4 follow
    width = solute1_feed_conc + solutes,
};
}

namespace Par {
enum : int32_t {
    recovery,         // fraction of the feed volume
    solute1_removal,  // fraction of the feed concentration; solutes 1 to 4 follow
    energy_intensity = solute1_removal + solutes,  // kWh/m³ of feed
    pressure_drop,    // as feed_pressure
    density_kg_m3,    // kg/m³, not read (keeps the zero-order ultrafiltration layout)
    mass_factor,      // (kg/m³) per concentration unit
    hours_factor,     // h per flow time unit
    width,
};
}

namespace Out {
enum : int32_t {
    permeate_flow,           // m³/d
    permeate_temperature_c,  // °C
    permeate_pressure,       // as feed_pressure
    solute1_permeate_conc,   // as the feed, 4 solutes
    concentrate_flow = solute1_permeate_conc + solutes,  // m³/d
    concentrate_temperature_c,                           // °C
    concentrate_pressure,                                // as feed_pressure
    solute1_concentrate_conc,                            // as the feed, 4 solutes
    electric_power_kw = solute1_concentrate_conc + solutes,  // kW
    daily_energy_kwh,     // kWh/d
    removed_solute_mass,  // kg per flow time unit
    input_warning,        // 0 none, 1 feed flow replaced, 2 a concentration replaced
    width,
};
}

constexpr double default_input[] = {1000.0, 20.0, 1.0, 100.0, 50.0, 10.0, 500.0};
constexpr double default_params[] = {0.95, 0.9, 0.1, 0.0, 0.0, 0.05, 0.1, 1000.0, 0.001, 0.041666666666666664};

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

HYDROKIT_MODEL(microsimple, "Zero-order microfiltration")
