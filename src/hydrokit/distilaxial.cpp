// Direct-contact membrane distillation as a chain of equal segments, hot feed
// and cold distillate flowing the same way. One march in the flow direction:
// in each segment the local temperatures give the vapour flux, the permeate
// leaves the feed, the latent and conducted heat cools the feed and warms the
// cold stream, and the salt concentrates. The march ends at the last segment
// or as soon as the collected permeate reaches the recovery limit.
#include <cmath>

#include "common/distillation.hpp"
#include "common/model.hpp"
#include "slots/distilaxial.hpp"

namespace hydrokit::distilaxial {

constexpr int32_t max_segments = 200;

// Segments: (value + 0.5) truncated, within [1, 200]; NaN, infinities and
// values beyond the int32 range give 1 through the guarded conversion.
inline int32_t segments(double value) {
    const int32_t n = rounded_count(value);
    if (n < 1) return 1;
    return n > max_segments ? max_segments : n;
}

void distilaxial_core(const double* u, const double* p, double* y) {
    const double qf = u[In::feed_flow];
    const double qd = u[In::cold_side_flow];
    const double cf = u[In::feed_salinity];
    const double delta = p[Par::membrane_thickness];
    const double permeance = delta > 0 ? p[Par::vapour_permeability] / delta : 0.0;
    const double conductance = delta > 0 ? p[Par::membrane_conductivity] / delta : 0.0;

    const int32_t n = segments(p[Par::segment_count]);
    const double n_segments = static_cast<double>(n);
    const double a_seg = p[Par::membrane_area] / n_segments;

    // Permeate cap over the whole module.
    const double cap = clamp(p[Par::max_recovery], 0.0, 0.999999) * qf;

    // March state at the module inlet.
    double th = u[In::feed_temperature_c];
    double tc = u[In::cold_side_temperature_c];
    double q = qf;
    double c = cf;
    double collected = 0;
    double status = 0;
    double sum_latent = 0, sum_cond = 0, sum_flux = 0, sum_pc = 0, sum_ph = 0;

    for (int32_t k = 0; k < n; ++k) {
        // Water at the local temperatures, with the configured substitutes.
        const StreamWater hot = stream_water(th, p[Par::fallback_density], p[Par::fallback_heat_capacity]);
        const StreamWater cold = stream_water(tc, p[Par::fallback_density], p[Par::fallback_heat_capacity]);
        const double rho_h = hot.density, cp_h = hot.heat_capacity;
        const double rho_c = cold.density, cp_c = cold.heat_capacity;

        const double ph = water_vapour_pressure(th);
        const double pc = water_vapour_pressure(tc);

        double j = 0;
        if (delta > 0) {
            j = max(0.0, ph - pc) * permeance;
            if (j < 0 || !is_finite(j)) j = 0;
        }

        double q_seg = rho_h > 0 ? (j * a_seg) / rho_h : 0.0;

        // What is left of the recovery allowance; the flux follows a cut flow.
        const double allowance = max(0.0, cap - collected);
        if (q_seg > allowance) {
            q_seg = allowance;
            status = 1;
            if (a_seg > 0) j = (allowance * rho_h) / a_seg;
        }

        // Heat across the membrane: latent with the vapour, conducted through it.
        const double q_latent = (j * a_seg) * p[Par::latent_heat];
        double q_cond = 0;
        if (delta > 0) q_cond = max(0.0, ((th - tc) * conductance) * a_seg);
        const double q_total = q_cond + q_latent;

        // Both streams move on together: the hot one with the flow entering the
        // segment, the cold one with its constant flow.
        if (q > 1e-15 && rho_h > 0 && cp_h > 0) th = th - q_total / ((rho_h * q) * cp_h);
        if (qd > 1e-15 && rho_c > 0 && cp_c > 0) tc = tc + q_total / ((rho_c * qd) * cp_c);

        // Salt: a fixed passage of the local salinity, the rest stays in the feed.
        const double c_perm = p[Par::salt_passage] * c;
        double q_out = q - q_seg;
        if (q_out < 1e-15) {
            q_out = 1e-15;
            status = 2;
        }
        c = ((c * q) - (c_perm * q_seg)) / q_out;
        if (c < 0 || !is_finite(c)) c = 0;

        collected = collected + q_seg;
        sum_cond = sum_cond + q_cond;
        sum_latent = sum_latent + q_latent;
        sum_flux = sum_flux + j;
        sum_pc = sum_pc + pc;
        sum_ph = sum_ph + ph;
        q = q_out;

        if (collected >= cap) break;
    }

    double recovery = 0;
    if (qf > 0) {
        recovery = collected / qf;
        if (recovery < 0) recovery = 0;
        if (recovery > 0.999999) recovery = 0.999999;
    }

    // Means over the configured count: segments not run count as zero.
    const double mean_flux = sum_flux / n_segments;
    const double q_total = sum_cond + sum_latent;
    const double power_kw = feed_pump_kw(qf, p[Par::pump_pressure_bar], p[Par::pump_efficiency]);

    y[Out::permeate_flow] = collected;
    y[Out::concentrate_flow] = q;
    y[Out::recovery_achieved] = recovery;
    y[Out::mass_flux] = mean_flux;
    y[Out::flux_lmh] = ((mean_flux / p[Par::fallback_density]) * 1000.0) * 3600.0;
    y[Out::feed_outlet_temperature_c] = th;
    y[Out::cold_side_outlet_temperature_c] = tc;
    y[Out::feed_vapour_pressure_pa] = sum_ph / n_segments;
    y[Out::cold_side_vapour_pressure_pa] = sum_pc / n_segments;
    y[Out::latent_heat_flow_w] = sum_latent;
    y[Out::conduction_heat_flow_w] = sum_cond;
    y[Out::total_heat_flow_w] = q_total;
    y[Out::thermal_efficiency] = q_total > 0 ? sum_latent / q_total : 0.0;
    y[Out::concentrate_salinity] = c;
    y[Out::permeate_salinity] = p[Par::salt_passage] * cf;
    y[Out::pump_power_kw] = power_kw;
    y[Out::daily_energy_kwh] = 24.0 * power_kw;
    y[Out::status_code] = status;
}

}  // namespace hydrokit::distilaxial

HYDROKIT_MODEL(distilaxial)
