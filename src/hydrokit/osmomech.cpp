// Physical reverse osmosis: one membrane stage, solution-diffusion transport and
// film-model concentration polarisation for five solutes. A damped fixed-point
// iteration finds the water flux driven by the applied pressure less the
// osmotic-pressure difference between membrane wall and permeate.
#include <cmath>

#include "common/model.hpp"
#include "common/poll.hpp"
#include "common/properties.hpp"
#include "slots/osmomech.hpp"

namespace hydrokit::osmomech {

void osmomech_core(const double* u, const double* p, double* y) {
    // Inputs.
    const double qf = max(0.0, u[In::feed_flow]);
    const double t = u[In::temperature_c];
    const double p_bar = max(0.0, u[In::feed_pressure_bar]);
    double cf[solutes];
    for (int i = 0; i < solutes; ++i) cf[i] = max(0.0, u[In::solute1_feed_conc + i]);

    // Parameters.
    const double r = clamp(p[Par::recovery], 0.0, 0.999999);
    const double a = p[Par::permeability];
    const double d = p[Par::hydraulic_diameter] <= 0 ? 0.0007 : p[Par::hydraulic_diameter];
    const double eta = p[Par::pump_efficiency] <= 0 ? 1.0 : p[Par::pump_efficiency];
    const int64_t cap = pass_cap(p[Par::max_iterations]);
    const double tol = p[Par::tolerance];
    double mw[solutes], diff[solutes], b[solutes];
    for (int i = 0; i < solutes; ++i) {
        const double m = p[Par::solute1_molar_mass + i];
        mw[i] = m <= 0 ? 1.0 : m;
        diff[i] = p[Par::solute1_diffusivity + i];
        b[i] = p[Par::solute1_solute_permeability + i];
    }

    // Properties, bulk molar concentrations (mol/m³) and film coefficients.
    const double rho = water_density(t);
    const double mu = water_viscosity(t);
    double cb[solutes], k[solutes];
    for (int i = 0; i < solutes; ++i) {
        cb[i] = cf[i] / mw[i];
        k[i] = channel_mass_transfer_coeff(qf, d, rho, mu, diff[i]);
    }

    // Damped fixed point on the flux and the permeate concentrations, starting
    // from the flux with no osmotic back-pressure.
    const double t_k = t + 273.15;
    const double p_pa = p_bar * 100000.0;
    double j = max(0.0, (a * p_bar) * 100000.0);
    double cp[solutes] = {0, 0, 0, 0, 0};
    double cm[solutes];
    int64_t n = 1;
    double flag = 1;
    for (;;) {
        for (int i = 0; i < solutes; ++i) {
            const double x = clamp(j / k[i], -50.0, 50.0);
            cm[i] = poll_exp(x) * cb[i];
        }
        double cpn[solutes];
        for (int i = 0; i < solutes; ++i) {
            double c = j > 1e-15 ? ((cm[i] - cp[i]) * b[i]) / j : 0.0;
            if (c < 0) c = 0;
            if (c > cm[i]) c = cm[i];
            cpn[i] = c;
        }
        double sum_wall = 0, sum_permeate = 0;
        for (int i = 0; i < solutes; ++i) sum_wall = sum_wall + cm[i];
        for (int i = 0; i < solutes; ++i) sum_permeate = sum_permeate + cpn[i];
        const double d_pi = (max(0.0, sum_wall) * gas_constant) * t_k -
                            (max(0.0, sum_permeate) * gas_constant) * t_k;
        const double jn = max(0.0, (p_pa - d_pi) * a);

        const double dj = std::fabs(jn - j) / (std::fabs(j) + 1e-12);
        double dc = 0;
        for (int i = 0; i < solutes; ++i) {
            const double rel = std::fabs(cpn[i] - cp[i]) / (std::fabs(cp[i]) + 1e-12);
            dc = max(rel, dc);
        }
        for (int i = 0; i < solutes; ++i) cp[i] = 0.5 * cpn[i] + 0.5 * cp[i];
        j = 0.5 * jn + 0.5 * j;

        if (dj < tol && dc < tol) {
            flag = 0;
            break;
        }
        n = n + 1;
        if (n > cap) break;
    }

    // Flows and area.
    const double qp = r * qf;
    const double qc = qf - qp;
    const double area = j > 1e-15 ? qp / j : 0.0;

    // Per solute: permeate, concentrate by mass balance, rejection.
    for (int i = 0; i < solutes; ++i) {
        const double cp_mass = cp[i] * mw[i];
        const double cc = qc > 1e-15 ? max(0.0, (cf[i] * qf - cp_mass * qp) / qc) : 0.0;
        const double rej = cf[i] > 0 ? clamp(1.0 - cp_mass / cf[i], 0.0, 1.0) : 0.0;
        y[Out::solute1_permeate_conc + i] = cp_mass;
        y[Out::solute1_concentrate_conc + i] = cc;
        y[Out::solute1_rejection + i] = rej;
    }

    // Feed-pump power: hydraulic power of the pressurised feed over the efficiency.
    const double power_kw = ((p_bar * qf) * 100000.0) / (eta * 1000.0);

    // Osmotic pressures: wall from the last pass, permeate from the damped values.
    double sum_wall = 0, sum_permeate = 0;
    for (int i = 0; i < solutes; ++i) sum_wall = sum_wall + cm[i];
    for (int i = 0; i < solutes; ++i) sum_permeate = sum_permeate + cp[i];

    y[Out::permeate_flow] = qp;
    y[Out::concentrate_flow] = qc;
    y[Out::flux] = j;
    y[Out::membrane_area] = area;
    y[Out::pump_power_kw] = power_kw;
    y[Out::daily_energy_kwh] = power_kw * 24.0;
    y[Out::wall_osmotic_pressure_bar] = ((max(0.0, sum_wall) * gas_constant) * t_k) / 100000.0;
    y[Out::permeate_osmotic_pressure_bar] = ((max(0.0, sum_permeate) * gas_constant) * t_k) / 100000.0;
    y[Out::iterations] = static_cast<double>(n);
    y[Out::not_converged] = flag;
}

}  // namespace hydrokit::osmomech

HYDROKIT_MODEL(osmomech)
