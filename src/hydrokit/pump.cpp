// Hydraulic pump / pressure booster: pressure rise from bar or from a head,
// power through pump and motor efficiencies in series, energy per day and per
// cubic metre; temperature and component concentrations pass through.
#include "common/model.hpp"
#include "common/stream.hpp"
#include "slots/pump.hpp"

namespace hydrokit::pump {

constexpr double gravity = 9.80665;    // m/s²
constexpr double pa_per_bar = 100000;  // Pa/bar
// An efficiency factor: non-finite or below 1e-6 gives 1e-6, above 1 gives 1.
inline double efficiency(double value) {
    if (!is_finite(value) || value < 1e-6) return 1e-6;
    return value > 1.0 ? 1.0 : value;
}

void pump_core(const double* u, const double* p, double* y) {
    const int32_t n = carried_components(p[Par::component_count]);
    StreamInlet stream = read_stream(u);
    const double flow = stream.flow;
    double density = p[Par::fluid_density];
    if (!is_finite(density) || !(density > 0)) density = 1000.0;
    const double eta = efficiency(p[Par::motor_efficiency]) * efficiency(p[Par::pump_efficiency]);

    double rise_bar;
    if (p[Par::head_mode] >= 0.5) {
        const double head = finite_non_negative(p[Par::head_m]);
        rise_bar = density * gravity * head / pa_per_bar;
    } else {
        rise_bar = finite_non_negative(p[Par::pressure_rise_bar]);
    }
    const double loss = finite_non_negative(p[Par::outlet_pressure_loss_bar]);
    const double outlet = max(0.0, (rise_bar + stream.inlet_bar) - loss);

    const double rise_pa = rise_bar * pa_per_bar;
    const double power_kw = rise_pa * flow / eta / 1000.0;
    const double daily_kwh = power_kw * 24.0;
    const double specific = flow > 1e-12 ? power_kw / (flow * 3600.0) : 0.0;
    const double head_out = rise_pa / (density * gravity);

    double* results = write_stream(u, y, stream, outlet, n);
    results[Result::pump_power_kw] = power_kw;
    results[Result::daily_energy_kwh] = daily_kwh;
    results[Result::specific_energy_kwh_m3] = specific;
    results[Result::pressure_rise_bar] = rise_bar;
    results[Result::head_out_m] = head_out;
    results[Result::input_flag] = stream.flag;
}

}  // namespace hydrokit::pump

HYDROKIT_MODEL(pump)
