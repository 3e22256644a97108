// Water and transport properties shared by several cores.
#pragma once

#include <cmath>

#include "replace.hpp"

namespace hydrokit {

// Universal gas constant, J/(mol·K).
inline constexpr double gas_constant = 8.31446261815324;
inline constexpr double pi = 3.141592653589793;

// Density of water (Kell), kg/m³, from the temperature in °C. No clamp.
inline double water_density(double t) {
    double num = 16.945176 * t + 999.83952;
    num = num - power_term(0.0079870401, t, 2);
    num = num - power_term(4.6170461e-5, t, 3);
    num = num + power_term(1.0556302e-7, t, 4);
    num = num - power_term(2.8054253e-10, t, 5);
    return num / (1.0 + 0.01687985 * t);
}

// Dynamic viscosity of water, Pa·s, from the temperature in °C. No clamp.
inline double water_viscosity(double t) {
    return std::pow(10.0, 247.8 / (t + 133.15)) * 0.02939 * 0.001;
}

// Film mass-transfer coefficient (m/s) of one solute in a channel of hydraulic
// diameter d (m) carrying the whole flow q (m³/s, already floored at 0), from
// Reynolds, Schmidt and a laminar or turbulent Sherwood number.
inline double channel_mass_transfer_coeff(double q, double d, double rho, double mu, double diff) {
    if (d <= 0) d = 0.001;
    if (mu <= 0) mu = 0.001;
    if (rho <= 0) rho = 1000.0;
    if (diff <= 0) diff = 1e-9;
    const double re = ((4.0 * q) * rho) / ((d * pi) * mu);
    const double sc = mu / (rho * diff);
    double sh;
    if (re < 2300.0) {
        sh = 1.62 * std::pow((sc * re) * d, 0.3333333333333333);
    } else {  // 2300 and above, and a NaN Reynolds number
        const double f = std::pow(0.79 * std::log(re) - 1.64, -2.0);
        const double f8 = f * 0.125;
        sh = (((re - 1000.0) * f8) * sc) /
             ((std::pow(sc, 0.6666666666666666) - 1.0) * (12.7 * std::sqrt(f8)) + 1.0);
    }
    double k = max(0.0, sh) * diff / d;
    if (k <= 1e-12) k = 1e-12;
    return k;
}

// Van 't Hoff osmotic pressure, Pa, of a molar concentration sum (mol/m³) at
// a temperature in °C.
inline double vant_hoff_osmotic_pressure(double molar_sum, double t) {
    return (max(0.0, molar_sum) * gas_constant) * (t + 273.15);
}

}  // namespace hydrokit
