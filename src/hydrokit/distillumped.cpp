// Direct-contact membrane distillation as one lumped cell: a hot feed and a
// cold distillate stream face each other across a membrane of given area. The
// vapour flux is a permeance times the vapour-pressure difference of the two
// inlet temperatures, limited by a maximum recovery; the latent and conducted
// heat crossing the membrane cools the feed and warms the cold stream.
#include <cmath>

#include "common/distillation.hpp"
#include "common/model.hpp"
#include "slots/distillumped.hpp"

namespace hydrokit::distillumped {

void distillumped_core(const double* u, const double* p, double* y) {
    double status = 0;
    const double qf = u[In::feed_flow];
    const double qd = u[In::cold_side_flow];
    const double th = u[In::feed_temperature_c];
    const double tc = u[In::cold_side_temperature_c];
    const double cf = u[In::feed_salinity];
    const double area = p[Par::membrane_area];
    const double delta = p[Par::membrane_thickness];

    // Water at both inlet temperatures, with the configured substitutes.
    const StreamWater hot = stream_water(th, p[Par::fallback_density], p[Par::fallback_heat_capacity]);
    const StreamWater cold = stream_water(tc, p[Par::fallback_density], p[Par::fallback_heat_capacity]);
    const double rho_h = hot.density, cp_h = hot.heat_capacity;
    const double rho_c = cold.density, cp_c = cold.heat_capacity;

    const double ph = water_vapour_pressure(th);
    const double pc = water_vapour_pressure(tc);

    // Vapour mass flux: permeance (permeability over thickness) times the
    // vapour-pressure difference of the inlets.
    double j = 0;
    if (delta > 0) {
        j = max(0.0, ph - pc) * (p[Par::vapour_permeability] / delta);
        if (j < 0 || !is_finite(j)) j = 0;
    }

    double qp = rho_h > 0 ? (j * area) / rho_h : 0.0;

    // Recovery limit; the flux (and with it the heat) follows the cut flow.
    const double r_max = p[Par::max_recovery] < 0 ? 0.0 : min(0.999999, p[Par::max_recovery]);
    if (qp > r_max * qf) {
        qp = r_max * qf;
        status = 1;
        if (area > 0) j = (qp * rho_h) / area;
    }

    double qc = qf - qp;
    if (qc < 1e-15) {
        qc = 1e-15;
        status = 2;
    }

    double recovery = 0;
    if (qf > 0) {
        recovery = qp / qf;
        if (recovery < 0) recovery = 0;
        if (recovery > 0.999999) recovery = 0.999999;
    }

    // Salt: a fixed passage into the permeate, the rest by mass balance.
    const double c_perm = p[Par::salt_passage] * cf;
    double c_conc = ((cf * qf) - (c_perm * qp)) / qc;
    if (c_conc < 0 || !is_finite(c_conc)) c_conc = 0;

    // Heat across the membrane: latent with the vapour, conducted through it.
    const double q_latent = (j * area) * p[Par::latent_heat];
    double q_cond = 0;
    if (delta > 0) q_cond = max(0.0, ((th - tc) * (p[Par::membrane_conductivity] / delta)) * area);
    const double q_total = q_cond + q_latent;
    const double efficiency = q_total > 0 ? q_latent / q_total : 0.0;

    // Outlet temperatures from the heat taken and given, unbounded: with the
    // flux at the inlet temperatures, a small flow can cool the hot stream
    // below the cold inlet.
    double th_out = th;
    if (qf > 0 && rho_h > 0 && cp_h > 0) th_out = th - q_total / ((rho_h * qf) * cp_h);
    double tc_out = tc;
    if (qd > 0 && rho_c > 0 && cp_c > 0) tc_out = tc + q_total / ((rho_c * qd) * cp_c);

    const double power_kw = feed_pump_kw(p[Par::pump_pressure_bar], qf, p[Par::pump_efficiency]);

    y[Out::permeate_flow] = qp;
    y[Out::concentrate_flow] = qc;
    y[Out::recovery_achieved] = recovery;
    y[Out::mass_flux] = j;
    y[Out::flux_lmh] = ((j / rho_h) * 1000.0) * 3600.0;
    y[Out::feed_outlet_temperature_c] = th_out;
    y[Out::cold_side_outlet_temperature_c] = tc_out;
    y[Out::feed_vapour_pressure_pa] = ph;
    y[Out::cold_side_vapour_pressure_pa] = pc;
    y[Out::latent_heat_flow_w] = q_latent;
    y[Out::conduction_heat_flow_w] = q_cond;
    y[Out::total_heat_flow_w] = q_total;
    y[Out::thermal_efficiency] = efficiency;
    y[Out::concentrate_salinity] = c_conc;
    y[Out::permeate_salinity] = c_perm;
    y[Out::pump_power_kw] = power_kw;
    y[Out::daily_energy_kwh] = 24.0 * power_kw;
    y[Out::status_code] = status;
}

}  // namespace hydrokit::distillumped

HYDROKIT_MODEL(distillumped)
