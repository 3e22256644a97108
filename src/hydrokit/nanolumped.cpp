// Zero-dimensional nanofiltration with fixed performance for a six-ion water:
// a set recovery splits the feed, a set rejection per ion gives the permeate
// (optionally with chloride set so that the permeate is electrically neutral),
// and the concentrate follows by mass balance. The area comes from a design
// flux and the power from a specific energy; problems are reported as a
// status code.
#include "common/model.hpp"
#include "slots/nanolumped.hpp"

namespace hydrokit::nanolumped {

// Ion order of every block of six: Na⁺, Cl⁻, K⁺, Mg²⁺, Ca²⁺, SO₄²⁻.
constexpr int chloride = 1;
constexpr double charge[ions] = {1.0, -1.0, 1.0, 2.0, 2.0, -2.0};

// Status codes; a later check overwrites an earlier one.
namespace Status {
enum : int32_t {
    ok = 0,
    negative_feed_flow = -1,
    recovery_out_of_range = -2,
    flux_not_positive = -3,
    negative_concentration = -4,
    no_concentrate = -5,
    negative_concentrate = -6,
};
}

// A fraction below 0 is taken as 0 and one above 1 as 1.
inline double unit_fraction(double x) { return x < 0 ? 0.0 : min(1.0, x); }

void nanolumped_core(const double* u, const double* p, double* y) {
    int32_t status = Status::ok;

    const double r = unit_fraction(p[Par::recovery]);
    double rej[ions], mw[ions];
    for (int i = 0; i < ions; ++i) {
        rej[i] = unit_fraction(p[Par::na_rejection + i]);
        mw[i] = p[Par::na_molar_mass + i];
    }

    const double qf = u[In::feed_flow_m3h];
    const double design_flux = p[Par::design_flux];
    if (qf < 0) status = Status::negative_feed_flow;
    if (r <= 0 || r >= 1) status = Status::recovery_out_of_range;
    if (design_flux <= 0) status = Status::flux_not_positive;
    double cf[ions];
    for (int i = 0; i < ions; ++i) {
        cf[i] = u[In::na_feed_conc + i];
        if (cf[i] < 0) {
            cf[i] = 0.0;
            status = Status::negative_concentration;
        }
    }

    // Flows and the permeate by set rejection.
    const double qp = r * qf;
    const double qc = qf - qp;
    double cp[ions];
    for (int i = 0; i < ions; ++i) cp[i] = (1.0 - rej[i]) * cf[i];

    // Electroneutral permeate: chloride carries the charge the other ions leave
    // (kmol/m³ times its molar mass), never below 0.
    if (p[Par::charge_balance_switch] > 0.5) {
        double excess = 0.0;
        for (int i = 0; i < ions; ++i) {
            if (i != chloride) excess = excess + (charge[i] * cp[i]) / mw[i];
        }
        cp[chloride] = max(0.0, excess * mw[chloride]);
    }

    // Concentrate by mass balance, and the rejection seen from outside.
    double cc[ions], observed[ions];
    for (int i = 0; i < ions; ++i) {
        if (qc > 1e-12) {
            cc[i] = (cf[i] * qf - qp * cp[i]) / qc;
        } else {
            cc[i] = 0.0;
            status = Status::no_concentrate;
        }
        if (cc[i] < -1e-9) status = Status::negative_concentrate;
        observed[i] = cf[i] > 1e-12 ? 1.0 - cp[i] / cf[i] : 0.0;
    }

    // Area from the design flux, the permeate flow taken to m³/s.
    const double area = design_flux > 0 ? qp / 3600.0 / design_flux : 0.0;

    const double daily_kwh = (qp * p[Par::specific_energy_kwh_m3]) * 24.0;

    double balance = 0.0;
    for (int i = 0; i < ions; ++i) balance = balance + (charge[i] * cp[i]) / mw[i];

    double feed_total = cf[0], permeate_total = cp[0], concentrate_total = cc[0];
    for (int i = 1; i < ions; ++i) {
        feed_total = feed_total + cf[i];
        permeate_total = permeate_total + cp[i];
        concentrate_total = concentrate_total + cc[i];
    }

    y[Out::permeate_flow_m3h] = qp;
    y[Out::concentrate_flow_m3h] = qc;
    y[Out::permeate_port_temperature_c] = u[In::temperature_c];
    y[Out::permeate_port_pressure_bar] = p[Par::permeate_pressure_bar];
    y[Out::concentrate_port_temperature_c] = u[In::temperature_c];
    y[Out::concentrate_port_pressure_bar] = u[In::feed_pressure_bar] - p[Par::pressure_drop_bar];
    for (int i = 0; i < ions; ++i) {
        y[Out::na_permeate_conc + i] = cp[i];
        y[Out::na_concentrate_conc + i] = cc[i];
        y[Out::na_observed_rejection + i] = observed[i];
    }
    y[Out::membrane_area] = area;
    y[Out::flux] = design_flux;
    y[Out::power_kw] = daily_kwh / 24.0;
    y[Out::daily_energy_kwh] = daily_kwh;
    y[Out::specific_energy_kwh_m3] = p[Par::specific_energy_kwh_m3];
    y[Out::feed_total_conc] = feed_total;
    y[Out::permeate_total_conc] = permeate_total;
    y[Out::concentrate_total_conc] = concentrate_total;
    y[Out::permeate_charge_balance] = balance;
    y[Out::status_code] = static_cast<double>(status);
}

}  // namespace hydrokit::nanolumped

HYDROKIT_MODEL(nanolumped)
