// Zero-order ultrafiltration: fixed split fractions on a mass basis. A set share
// of the water mass goes to the permeate and a set share of each solute's mass
// to the concentrate; volumes are formed back from the masses with a water
// density, so the outlet flows include the dissolved mass. Electricity is a
// fixed intensity per volume of feed.
//
// The split itself works on any number of solutes; the core reads the count
// from the parameter vector and places the split's blocks by that count.
#include "common/model.hpp"
#include "slots/ultrasimple.hpp"

namespace hydrokit::ultrasimple {

// The layouts give the positions for n = 4 solutes. With fewer, every parameter
// after the removals moves down by 4 − n; in the outputs the concentrate block
// moves down by 4 − n and the result block by 2·(4 − n).

// Settings of one split, read-only for it.
struct ultrasimple_config {
    int32_t solute_count;
    double water_recovery;    // fraction of the water mass to the permeate
    const double* removals;   // solute_count fractions to the concentrate; null: all 0
    double energy_intensity;  // kWh per volume of feed
    double pressure_drop;     // lost to both outlets
    double water_density;     // kg/m³
    double mass_factor;       // (kg/m³) per concentration unit
    double hours_factor;      // h per flow time unit
    double flow_floor;        // volume flows below it count as 0
};

// Scalar results of one split.
struct ultrasimple_result {
    double permeate_flow;
    double concentrate_flow;
    double electric_power;
    double daily_energy;
    double removed_solute_load;
    int32_t status;
};

// Split statuses. The warnings are raised in this order; the last one raised stays.
enum : int32_t {
    split_ok = 0,
    split_bad_feed_flow = 1,       // negative or non-finite feed flow taken as 0
    split_bad_concentration = 2,   // a negative or non-finite concentration taken as 0
    split_negative_water = 3,      // dissolved mass above density × flow; water floored at 0
    split_null_pointer = 100,      // nothing written
    split_no_solutes = 101,        // nothing written
};

// Non-finite or negative flows and concentrations are unusable.
inline bool unusable(double x) { return x < 0 || !is_finite(x); }

// The split of a feed stream of n solutes into permeate and concentrate. It
// writes n concentrations per outlet through the given pointers and needs no
// storage of its own: a solute's mass is formed again wherever it is needed.
extern "C" HYDROKIT_EXPORT int32_t ultrasimple_split(
    double feed_flow, double temperature, double pressure, const double* feed_conc,
    const ultrasimple_config* config, double* permeate_temperature, double* permeate_pressure,
    double* permeate_conc, double* concentrate_temperature, double* concentrate_pressure,
    double* concentrate_conc, ultrasimple_result* result) {
    if (feed_conc == nullptr || config == nullptr || permeate_temperature == nullptr ||
        permeate_pressure == nullptr || permeate_conc == nullptr ||
        concentrate_temperature == nullptr || concentrate_pressure == nullptr ||
        concentrate_conc == nullptr || result == nullptr)
        return split_null_pointer;
    const int32_t n = config->solute_count;
    if (n < 1) return split_no_solutes;
    int32_t status = split_ok;

    double q = feed_flow;
    if (unusable(q)) {
        q = 0.0;
        status = split_bad_feed_flow;
    }

    const double rho = config->water_density > 0 ? config->water_density : 1000.0;
    const double b = config->mass_factor > 0 ? config->mass_factor : 0.001;
    const double flow_floor = config->flow_floor > 0 ? config->flow_floor : 1e-12;
    const double recovery = clamp(config->water_recovery, 0.0, 1.0);
    const double f = config->hours_factor > 0 ? config->hours_factor : 0.041666666666666664;
    const double* removals = config->removals;
    auto removal = [removals](int32_t j) { return removals ? clamp(removals[j], 0.0, 1.0) : 0.0; };

    // Dissolved mass in, and the water that carries it (kg per flow time unit).
    double dissolved = 0;
    for (int32_t j = 0; j < n; ++j) {
        double c = feed_conc[j];
        if (unusable(c)) {
            c = 0.0;
            status = split_bad_concentration;
        }
        dissolved = dissolved + (c * q) * b;
    }
    double water = rho * q - dissolved;
    if (water < 0) {
        water = 0.0;
        status = split_negative_water;
    }
    const double water_p = water * recovery;
    const double water_c = water - water_p;

    auto conc = [feed_conc](int32_t j) { return unusable(feed_conc[j]) ? 0.0 : feed_conc[j]; };
    double solute_p = 0, solute_c = 0, load = 0;
    for (int32_t j = 0; j < n; ++j) {
        const double c = conc(j), r = removal(j);
        const double m = (c * q) * b;
        solute_p = solute_p + (m - m * r);
        solute_c = solute_c + m * r;
        load = load + (c * q) * r;
    }

    double qp = (water_p + solute_p) / rho;
    double qc = (water_c + solute_c) / rho;
    if (qp < flow_floor) qp = 0.0;
    if (qc < flow_floor) qc = 0.0;

    for (int32_t j = 0; j < n; ++j) {
        const double r = removal(j);
        const double m = (conc(j) * q) * b;
        permeate_conc[j] = qp > flow_floor ? (m - m * r) / qp / b : 0.0;
        concentrate_conc[j] = qc > flow_floor ? (m * r) / qc / b : 0.0;
    }

    *permeate_temperature = temperature;
    *concentrate_temperature = temperature;
    double outlet = pressure - config->pressure_drop;
    if (outlet < 0) outlet = 0.0;
    *permeate_pressure = outlet;
    *concentrate_pressure = outlet;

    const double power = (q * config->energy_intensity) * f;

    result->permeate_flow = qp;
    result->concentrate_flow = qc;
    result->electric_power = power;
    result->daily_energy = power * 24.0;
    result->removed_solute_load = load;
    result->status = status;
    return status;
}

// Solutes read from the count slot: (count + 0.5) truncated. Below 1 (NaN and
// out-of-range counts included) there is nothing to split; above the room of
// the vectors the count is held at 4 so no block leaves its vector.
inline int32_t solute_count(double count) {
    const int32_t n = rounded_count(count);
    return n > solutes ? solutes : n;
}

void ultrasimple_core(const double* u, const double* p, double* y) {
    const int32_t n = solute_count(p[Par::solute_count]);
    if (n < 1) return;
    const int32_t shift = n - solutes;  // ≤ 0

    const ultrasimple_config config = {
        n,
        p[Par::water_recovery],
        p + Par::solute1_removal,
        p[Par::energy_intensity + shift],
        p[Par::pressure_drop + shift],
        p[Par::density_kg_m3 + shift],
        p[Par::mass_factor + shift],
        p[Par::hours_factor + shift],
        1e-12,
    };
    ultrasimple_result result = {0, 0, 0, 0, 0, split_ok};
    // The split's status is a diagnostic of the split alone; it has no output slot.
    ultrasimple_split(u[In::feed_flow], u[In::temperature_c], u[In::feed_pressure],
                      u + In::solute1_feed_conc, &config, y + Out::permeate_temperature_c,
                      y + Out::permeate_pressure, y + Out::solute1_permeate_conc,
                      y + Out::concentrate_temperature_c + shift,
                      y + Out::concentrate_pressure + shift,
                      y + Out::solute1_concentrate_conc + shift, &result);

    y[Out::permeate_flow] = result.permeate_flow;
    y[Out::concentrate_flow + shift] = result.concentrate_flow;
    y[Out::electric_power_kw + 2 * shift] = result.electric_power;
    y[Out::daily_energy_kwh + 2 * shift] = result.daily_energy;
    y[Out::removed_solute_load + 2 * shift] = result.removed_solute_load;
}

}  // namespace hydrokit::ultrasimple

HYDROKIT_MODEL(ultrasimple)
