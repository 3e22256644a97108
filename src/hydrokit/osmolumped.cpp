// Lumped reverse osmosis: an installed membrane area treated as one element
// with one lumped salt. The element solve gives flux and permeate quality; the
// permeate flow is the flux times the area, held to a maximum recovery.
#include "common/lumped_element.hpp"
#include "common/model.hpp"
#include "slots/osmolumped.hpp"

namespace hydrokit::osmolumped {

void osmolumped_core(double feed_flow, double temperature_c, double feed_pressure_bar,
                     double permeate_pressure_bar, double feed_salinity, const double* p,
                     double* y) {
    // Set-up.
    const double t_k = temperature_c + 273.15;
    const int64_t cap = pass_cap(p[Par::max_iterations]);
    const double dp = max(0.0, (feed_pressure_bar - permeate_pressure_bar) * 100000.0);  // Pa
    const double eta = p[Par::pump_efficiency] <= 0 ? 1.0 : p[Par::pump_efficiency];
    const double area = p[Par::membrane_area] <= 0 ? 1.0 : p[Par::membrane_area];
    const double cf = max(0.0, feed_salinity);
    const double qf = max(0.0, feed_flow);
    const double molar_mass = p[Par::solute_molar_mass];
    const double i = p[Par::vant_hoff_factor];

    const LumpedElement e =
        lumped_element_solve(cf, t_k, dp, p[Par::permeability], p[Par::salt_permeability],
                             p[Par::mass_transfer_coeff], molar_mass, i, cap, p[Par::tolerance]);

    // Recovery limit: when the membrane could pass more than the allowed share
    // of the feed, the flux is lowered to what that share needs.
    double j = e.flux;
    const double q_max = max(0.0, p[Par::max_recovery] * qf);
    double permeate;
    if (j * area > q_max) {
        j = q_max / area;
        permeate = q_max;
    } else {
        permeate = j * area;
    }
    const double qp = min(qf, max(0.0, permeate));
    const double qc = qf - qp;
    const double recovery = qf > 0 ? qp / qf : 0.0;

    // Concentrate by salt balance; rejection against the feed.
    const double cc = qc > 1e-15 ? max(0.0, (qf * cf - qp * e.permeate_conc) / qc) : 0.0;
    const double rejection = cf > 0 ? clamp(1.0 - e.permeate_conc / cf, 0.0, 1.0) : 0.0;

    // Hydraulic power of the pressure difference over the pump efficiency.
    const double power_kw = eta > 0 ? (dp * qf) / (eta * 1000.0) : 0.0;

    y[Out::permeate_flow] = qp;
    y[Out::concentrate_flow] = qc;
    y[Out::flux] = j;
    y[Out::membrane_area] = area;
    y[Out::permeate_salinity] = e.permeate_conc;
    y[Out::concentrate_salinity] = cc;
    y[Out::salt_rejection] = rejection;
    y[Out::recovery_achieved] = recovery;
    y[Out::wall_osmotic_pressure_bar] = lumped_osmotic_pressure(e.wall_conc, molar_mass, i, t_k) / 100000.0;
    y[Out::permeate_osmotic_pressure_bar] =
        lumped_osmotic_pressure(e.permeate_conc, molar_mass, i, t_k) / 100000.0;
    y[Out::net_driving_pressure_bar] = e.net_driving_pressure_bar;
    y[Out::pump_power_kw] = power_kw;
    y[Out::daily_energy_kwh] = power_kw * 24.0;
    y[Out::iterations] = static_cast<double>(e.passes);
    y[Out::not_converged] = e.not_converged;
}

void osmolumped_core(const double* u, const double* p, double* y) {
    osmolumped_core(u[In::feed_flow], u[In::temperature_c], u[In::feed_pressure_bar],
                    u[In::permeate_pressure_bar], u[In::feed_salinity], p, y);
}

}  // namespace hydrokit::osmolumped

HYDROKIT_MODEL(osmolumped)
