// Physical membrane distillation: one stage in a single pass. The vapour flux
// follows from the water vapour pressures at the hot feed and the cold
// permeate side through a Knudsen-diffusion permeance; a fixed recovery splits
// the feed and a fixed passage sets the permeate quality. Also the membrane
// area, the heat to warm the feed and evaporate the permeate, and the feed pump.
#include <cmath>

#include "common/distillation.hpp"
#include "common/model.hpp"
#include "slots/distilmech.hpp"

namespace hydrokit::distilmech {

// The two constants of the mean molecular speed √(8RT/(πM)) as the model
// applies them: 8·R in J/(mol·K), and π·18000 for the molar-mass term.
constexpr double eight_r = 66.51570094522592;
constexpr double pi_molar_mass = 56548.66776461628;

void distilmech_core(const double* u, const double* p, double* y) {
    double status = 0;
    const double qf = u[In::feed_flow];
    const double th = u[In::feed_temperature_c];

    const double r = p[Par::recovery] < 0 ? 0.0 : min(0.999999, p[Par::recovery]);

    // Water at the hot feed temperature.
    const StreamWater feed = stream_water(th, 1000.0, 4180.0);
    const double rho = feed.density, cp = feed.heat_capacity;

    // Vapour pressures and the driving difference across the membrane.
    const double ph = water_vapour_pressure(th);
    const double pc = water_vapour_pressure(u[In::cold_side_temperature_c]);
    const double dp = max(0.0, ph - pc);

    // Knudsen diffusivity in the pores (the kelvin offset is 273 here).
    double dk = 0;
    if (p[Par::pore_diameter] > 0) {
        dk = (p[Par::pore_diameter] / 3.0) * std::sqrt(((th + 273.0) * eight_r) / pi_molar_mass);
    }

    // Membrane permeance: porosity over tortuosity times thickness.
    double b = 0;
    if (p[Par::tortuosity] > 0 && p[Par::membrane_thickness] > 0) {
        b = (p[Par::porosity] / (p[Par::tortuosity] * p[Par::membrane_thickness])) * dk;
    }

    double j = (b * dp) / rho;
    if (j < 0 || !is_finite(j)) {
        j = 0;
        status = 1;
    }

    // Flows; the feed flow is taken as given.
    const double qp = r * qf;
    double qc = qf - qp;
    if (qc < 1e-15) {
        qc = 1e-15;
        status = 2;
    }

    // Solutes: a fixed passage into the permeate, the rest by mass balance.
    const double passage = p[Par::solute_passage];
    for (int i = 0; i < solutes; ++i) {
        const double ci = u[In::solute1_feed_conc + i];
        const double cpi = passage * ci;
        double cci = ((qf * ci) - (cpi * qp)) / qc;
        if (cci < 0 || !is_finite(cci)) cci = 0;
        y[Out::solute1_permeate_conc + i] = cpi;
        y[Out::solute1_concentrate_conc + i] = cci;
    }

    const double area = j > 0 ? qp / j : 0.0;

    // Heat: warm the feed from the supply temperature, evaporate the permeate.
    const double heat = max(0.0, ((rho * qf) * cp) * (th - p[Par::supply_temperature_c]) +
                                     qp * p[Par::latent_heat]);

    const double power_kw = feed_pump_kw(p[Par::pump_pressure_bar], qf, p[Par::pump_efficiency]);

    y[Out::permeate_flow] = qp;
    y[Out::concentrate_flow] = qc;
    y[Out::flux] = j;
    y[Out::flux_lmh] = (j * 1000.0) * 3600.0;
    y[Out::membrane_area] = area;
    y[Out::heat_duty_w] = heat;
    y[Out::daily_heat_kwh] = (heat * 24.0) / 1000.0;
    y[Out::pump_power_kw] = power_kw;
    y[Out::daily_energy_kwh] = 24.0 * power_kw;
    y[Out::feed_vapour_pressure_pa] = ph;
    y[Out::cold_side_vapour_pressure_pa] = pc;
    y[Out::knudsen_diffusivity] = dk;
    y[Out::status_code] = status;
}

}  // namespace hydrokit::distilmech

HYDROKIT_MODEL(distilmech)
