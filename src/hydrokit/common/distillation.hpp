// What the membrane-distillation cores share: water density, specific heat and saturation
// vapour pressure from a temperature in °C. The property functions have no
// fallbacks: each core passes its own substitutes for a non-positive density
// or specific heat.
#pragma once

#include <cmath>
#include <cstdint>

#include "replace.hpp"

namespace hydrokit {

// Kell density of water, kg/m³. Same coefficients and accumulation order as
// water_density, but the fourth and fifth powers come from std::pow, which can
// differ from the repeated product in the last bit.
inline double distil_water_density(double t) {
    double num = 16.945176 * t + 999.83952;
    num = num - power_term(0.0079870401, t, 2);
    num = num - power_term(4.6170461e-5, t, 3);
    num = num + 1.0556302e-7 * std::pow(t, 4.0);
    num = num - 2.8054253e-10 * std::pow(t, 5.0);
    return num / (1.0 + 0.01687985 * t);
}

// Specific heat of water, J/(kg·K): a fourth-degree polynomial summed left to
// right, each power a repeated product with the coefficient on the first factor.
inline double water_specific_heat(double t) {
    double cp = 4217.4 - 3.720283 * t;
    cp = cp + power_term(0.1412855, t, 2);
    cp = cp - power_term(0.002654387, t, 3);
    cp = cp + power_term(2.093236e-5, t, 4);
    return cp;
}

// Saturation vapour pressure of water, Pa: Antoine's equation in mmHg, times
// 133.322 Pa/mmHg.
inline double water_vapour_pressure(double t) {
    return std::pow(10.0, 8.07131 - 1730.63 / (t + 233.426)) * 133.322;
}

// Density (kg/m³) and specific heat (J/(kg·K)) of one stream's water at t
// (°C); a value that is not above 0, or NaN, takes the model's substitute.
struct StreamWater {
    double density;
    double heat_capacity;
};

inline StreamWater stream_water(double t, double fallback_density, double fallback_heat_capacity) {
    StreamWater w{distil_water_density(t), water_specific_heat(t)};
    if (!(w.density > 0)) w.density = fallback_density;
    if (!(w.heat_capacity > 0)) w.heat_capacity = fallback_heat_capacity;
    return w;
}

// Feed-pump power, kW: pressure rise (bar) times flow (m³/s), times 100000 for
// watts, over efficiency times 1000; 0 for an efficiency that is not above 0.
// The rise and the flow are multiplied in the order the caller passes them.
inline double feed_pump_kw(double first, double second, double efficiency) {
    if (efficiency > 0) return ((first * second) * 100000.0) / (efficiency * 1000.0);
    return 0.0;
}

}  // namespace hydrokit
