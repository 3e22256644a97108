// Segmented reverse osmosis: the installed area split into equal segments along
// the feed channel. Each segment is one lumped element at its local bulk
// concentration and local feed pressure (falling linearly along the channel);
// it takes off its permeate and hands the more concentrated rest downstream.
#include "common/lumped_element.hpp"
#include "common/model.hpp"
#include "slots/osmoaxial.hpp"

namespace hydrokit::osmoaxial {

constexpr int32_t max_segments = 200;

// (value + 0.5) truncated, within [1, 200]; NaN or out of range gives 1.
inline int32_t segments(double value) {
    int32_t n = rounded_count(value);
    if (n < 1) n = 1;
    if (n > max_segments) n = max_segments;
    return n;
}

void osmoaxial_core(double feed_flow, double temperature_c, double feed_pressure_bar,
                    double permeate_pressure_bar, double feed_salinity, const double* p,
                    double* y) {
    // Set-up.
    const double area = p[Par::membrane_area] <= 0 ? 1.0 : p[Par::membrane_area];
    const double eta = p[Par::pump_efficiency] <= 0 ? 1.0 : p[Par::pump_efficiency];
    const int32_t n_seg = segments(p[Par::segment_count]);
    const double n = static_cast<double>(n_seg);
    const int64_t cap = pass_cap(p[Par::max_iterations]);
    const double qf = max(0.0, feed_flow);
    const double cf = max(0.0, feed_salinity);
    const double t_k = temperature_c + 273.15;
    const double allowance = p[Par::max_recovery] * qf;  // m³/s of permeate for the element
    const double drop = max(0.0, p[Par::channel_pressure_drop_bar]);
    const double area_seg = area / n;
    const double pf = feed_pressure_bar;
    const double pp = permeate_pressure_bar;

    // Running state along the channel.
    double q = qf;
    double cb = cf;
    double sum_qp = 0, sum_qp_cp = 0, sum_j = 0, sum_net = 0;
    double flag_any = 0;

    for (int32_t i = 0; i < n_seg; ++i) {
        if (q <= 1e-15) break;  // feed used up
        const double remaining = allowance - sum_qp;
        if (remaining <= 0) break;  // element recovery reached

        // Local feed pressure; below the permeate pressure it drives nothing.
        const double p_i = pf - (static_cast<double>(i) / n) * drop;
        const double dp_i = (max(pp, p_i) - pp) * 100000.0;

        const LumpedElement e = lumped_element_solve(
            cb, t_k, dp_i, p[Par::permeability], p[Par::salt_permeability],
            p[Par::mass_transfer_coeff], p[Par::solute_molar_mass], p[Par::vant_hoff_factor],
            cap, p[Par::tolerance]);
        if (e.not_converged != 0) flag_any = 1;

        // No segment takes more than 90 % of what enters it, nor more than the
        // element allowance leaves.
        double qp = min(0.9 * q, e.flux * area_seg);
        qp = min(remaining, qp);
        qp = max(0.0, qp);

        const double q_next = q - qp;
        cb = q_next > 1e-15 ? max(0.0, (cb * q - qp * e.permeate_conc) / q_next) : 0.0;

        sum_net = sum_net + e.net_driving_pressure_bar;
        sum_qp = sum_qp + qp;
        sum_j = sum_j + e.flux;
        sum_qp_cp = sum_qp_cp + qp * e.permeate_conc;
        q = q_next;
    }

    // Averages over every segment, also those the chain did not reach.
    const double mean_flux = sum_j / n;
    const double mean_net = sum_net / n;
    const double permeate_conc = sum_qp > 1e-15 ? sum_qp_cp / sum_qp : 0.0;
    const double recovery = qf > 0 ? sum_qp / qf : 0.0;
    const double rejection = cf > 0 ? clamp(1.0 - permeate_conc / cf, 0.0, 1.0) : 0.0;

    // Pump power from the inlet pressure difference, without the channel drop.
    const double power_kw = max(0.0, (((pf - pp) * 100000.0) * qf) / (eta * 1000.0));

    y[Out::permeate_flow] = sum_qp;
    y[Out::concentrate_flow] = qf - sum_qp;
    y[Out::flux] = mean_flux;
    y[Out::membrane_area] = area;
    y[Out::permeate_salinity] = permeate_conc;
    y[Out::concentrate_salinity] = cb;
    y[Out::salt_rejection] = rejection;
    y[Out::recovery_achieved] = recovery;
    y[Out::concentrate_pressure_bar] = max(pp, pf - drop);
    y[Out::channel_pressure_drop_bar] = drop;
    y[Out::mean_net_driving_pressure_bar] = mean_net;
    y[Out::pump_power_kw] = power_kw;
    y[Out::daily_energy_kwh] = power_kw * 24.0;
    y[Out::segment_count] = n;
    y[Out::not_converged] = flag_any;
}

void osmoaxial_core(const double* u, const double* p, double* y) {
    osmoaxial_core(u[In::feed_flow], u[In::temperature_c], u[In::feed_pressure_bar],
                   u[In::permeate_pressure_bar], u[In::feed_salinity], p, y);
}

}  // namespace hydrokit::osmoaxial

HYDROKIT_MODEL(osmoaxial)
