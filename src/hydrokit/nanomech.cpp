// Physical nanofiltration: one stage in a single pass. A fixed recovery splits
// the feed; each of five solutes is rejected by a pore model (steric partition,
// then charge exclusion for ions or hindered diffusion for neutral solutes);
// the water flux follows from the net driving pressure over the feed's osmotic
// pressure and is reduced by film polarisation. Nothing is substituted for a
// bad input: the core computes on and reports the problem as a status code.
#include <cmath>

#include "common/model.hpp"
#include "common/properties.hpp"
#include "slots/nanomech.hpp"

namespace hydrokit::nanomech {

// Status codes; a later check overwrites an earlier one, so the larger the
// magnitude the higher the priority.
namespace Status {
enum : int32_t {
    ok = 0,
    negative_feed_flow = -1,
    recovery_out_of_range = -2,
    pressure_not_positive = -3,
    membrane_not_positive = -4,
    efficiency_not_positive = -5,
    negative_concentration = -6,
    no_concentrate = -7,
    negative_driving_pressure = -8,
    no_mass_transfer = -9,
};
}

// The fixed solutes of the stage.
struct Solute {
    double molar_mass;   // g/mol
    double radius;       // m, Stokes radius against the pore radius
    double diffusivity;  // m²/s, enters the neutral transmission only
    double charge;       // elementary charges
};
constexpr Solute solute_table[solutes] = {
    {86.13, 3e-10, 1e-9, 0.0},
    {150.13, 4.5e-10, 6.7e-10, 0.0},
    {10000.0, 2e-9, 1e-11, -1.0},
    {23.0, 1.8e-10, 1.33e-9, 1.0},
    {74.04, 3.5e-10, 9e-10, -1.0},
};

// Polarisation uses one diffusivity for all solutes.
constexpr double film_diffusivity = 1e-9;  // m²/s

// Film coefficient of the feed channel, m/s: the laminar/turbulent Sherwood
// correlation of the shared channel coefficient, but without its argument
// substitutions and without its floor, so that a missing channel shows as
// k = 0 (or a NaN) instead of a silent 1e-12 m/s.
inline double film_coefficient(double qf, double d, double rho, double mu) {
    if (d <= 0 || mu <= 0 || rho <= 0) return 0.0;
    const double re = ((4.0 * qf) * rho) / ((pi * d) * mu);
    const double sc = mu / (rho * film_diffusivity);
    if (re < 2300.0) {
        return ((std::pow((sc * re) * d, 0.3333333333333333) * 1.62) * film_diffusivity) / d;
    }
    // 2300 and above, and a NaN Reynolds number.
    const double f8 = 0.125 * std::pow(0.79 * std::log(re) - 1.64, -2.0);
    const double sh = (((re - 1000.0) * f8) * sc) /
                      (1.0 + (12.7 * std::sqrt(f8)) * (std::pow(sc, 0.6666666666666666) - 1.0));
    return (sh * film_diffusivity) / d;
}

void nanomech_core(const double* u, const double* p, double* y) {
    int32_t status = Status::ok;

    // Recovery, the one clamped value.
    const double r = p[Par::recovery] < 0 ? 0.0 : min(1.0, p[Par::recovery]);

    // Input checks, in priority order; they only report.
    const double qf = u[In::feed_flow];
    const double p_bar = u[In::feed_pressure_bar];
    if (qf < 0) status = Status::negative_feed_flow;
    if (r <= 0 || r >= 1) status = Status::recovery_out_of_range;
    if (p_bar <= 0) status = Status::pressure_not_positive;
    if (p[Par::active_layer_thickness] <= 0 || p[Par::pore_radius] <= 0 ||
        p[Par::tortuosity] <= 0 || p[Par::permeability] <= 0) {
        status = Status::membrane_not_positive;
    }
    if (p[Par::pump_efficiency] <= 0) status = Status::efficiency_not_positive;

    // Feed concentrations (g/m³) and their molar sum (mol/m³).
    double cf[solutes];
    double molar_sum = 0.0;
    for (int i = 0; i < solutes; ++i) {
        cf[i] = u[In::solute1_feed_conc + i];
        if (cf[i] < 0) {
            cf[i] = 0.0;
            status = Status::negative_concentration;
        }
        molar_sum = molar_sum + cf[i] / solute_table[i].molar_mass;
    }

    // Water properties and the feed's osmotic pressure (Pa).
    const double t = u[In::temperature_c];
    const double t_k = t + 273.15;
    const double rho = water_density(t);
    const double mu = water_viscosity(t);
    const double osmotic = vant_hoff_osmotic_pressure(molar_sum, t);

    // Rejection by the pore model. A neutral solute's hindered-diffusion
    // transmission is scaled by the pure-water flux Lp·P.
    const double rp = p[Par::pore_radius];
    const double eps = p[Par::porosity];
    const double tau = p[Par::tortuosity];
    const double delta = p[Par::active_layer_thickness];
    const double lp = p[Par::permeability];
    const double energy = p[Par::charge_exclusion_energy];
    double rej[solutes];
    for (int i = 0; i < solutes; ++i) {
        const Solute& s = solute_table[i];
        const double lambda = s.radius / rp;
        const double gap = 1.0 - lambda;
        const double phi = lambda < 1 ? gap * gap : 0.0;  // steric partition
        double trans;
        if (std::fabs(s.charge) > 1e-12) {
            trans = phi * std::exp(((-s.charge) * energy) / (gas_constant * t_k));
        } else {
            trans = ((eps * s.diffusivity) * phi) / (tau * delta) / ((lp * p_bar) * 100000.0);
        }
        rej[i] = min(1.0, max(0.0, 1.0 - trans));
    }

    // Flows and the mass balance of every solute.
    const double qp = r * qf;
    const double qc = qf - qp;
    double cp[solutes], cc[solutes];
    for (int i = 0; i < solutes; ++i) cp[i] = (1.0 - rej[i]) * cf[i];
    if (qc > 1e-12) {
        for (int i = 0; i < solutes; ++i) cc[i] = (cf[i] * qf - cp[i] * qp) / qc;
    } else {
        for (int i = 0; i < solutes; ++i) cc[i] = 0.0;
        status = Status::no_concentrate;
    }

    // Channel film coefficient, one for all solutes.
    const double k = film_coefficient(qf, p[Par::hydraulic_diameter], rho, mu);

    // Raw flux through the net driving pressure.
    double jv = ((p_bar * 100000.0) - osmotic) * lp;
    if (jv < 0) {
        jv = 0.0;
        status = Status::negative_driving_pressure;
    }

    // Polarisation, the exponent capped at 60.
    double cpf, jw;
    if (k > 0) {
        cpf = std::exp(min(60.0, jv / k));
        jw = cpf > 0 ? jv / cpf : jv;
    } else {  // k ≤ 0, and a NaN coefficient
        cpf = 1.0;
        jw = jv;
        status = Status::no_mass_transfer;
    }

    const double area = jw > 0 ? qp / jw : 0.0;

    // Feed-pump power: hydraulic power of the pressurised feed over the efficiency.
    const double power_kw = ((p_bar * qf) * 100000.0) / (p[Par::pump_efficiency] * 1000.0);

    y[Out::permeate_flow] = qp;
    y[Out::concentrate_flow] = qc;
    y[Out::raw_flux] = jv;
    y[Out::flux] = jw;
    y[Out::polarisation_factor] = cpf;
    y[Out::membrane_area] = area;
    for (int i = 0; i < solutes; ++i) {
        y[Out::solute1_permeate_conc + i] = cp[i];
        y[Out::solute1_concentrate_conc + i] = cc[i];
        y[Out::solute1_rejection + i] = rej[i];
    }
    y[Out::pump_power_kw] = power_kw;
    y[Out::daily_energy_kwh] = 24.0 * power_kw;
    y[Out::feed_osmotic_pressure_bar] = osmotic / 100000.0;
    y[Out::status_code] = static_cast<double>(status);
}

}  // namespace hydrokit::nanomech

HYDROKIT_MODEL(nanomech)
