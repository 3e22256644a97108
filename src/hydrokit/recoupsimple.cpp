// Zero-order pressure energy recovery: hydraulic power reclaimed with one fixed
// efficiency while a stream is let down to a set outlet pressure; temperature
// and component concentrations pass through as in the pump model.
#include "common/model.hpp"
#include "common/stream.hpp"

namespace hydrokit::recoupsimple {

namespace In = StreamIn;

namespace Par {
enum : int32_t {
    component_count,      // count, 0 to 4
    outlet_pressure_bar,  // bar
    recovery_efficiency,  // fraction
    pressure_loss_bar,    // bar
    fluid_density,        // kg/m³, accepted and not read
    width,
};
}

namespace Out = StreamOut;

// The result block, right after the last carried component.
namespace Result {
enum : int32_t {
    reclaimed_power_kw,
    power_demand_kw,
    daily_energy_kwh,
    specific_energy_kwh_m3,
    pressure_drop_bar,
    input_flag,
};
}

constexpr double default_input[] = {0.00011111111111111112, 20.0, 60.0, 10.0, 5.0, 1.0, 35000.0};
constexpr double default_params[] = {4.0, 1.0, 0.85, 0.2, 1000.0};

void recoupsimple_core(const double* u, const double* p, double* y) {
    const int32_t n = carried_components(p[Par::component_count]);
    StreamInlet stream = read_stream(u);
    const double flow = stream.flow;
    const double inlet = stream.inlet_bar;
    double set_outlet = p[Par::outlet_pressure_bar];
    if (!is_finite(set_outlet) || set_outlet < 0) set_outlet = 1.0;
    const double loss = finite_non_negative(p[Par::pressure_loss_bar]);
    double eta = finite_non_negative(p[Par::recovery_efficiency]);
    if (eta > 1.0) eta = 1.0;

    const double outlet = inlet < set_outlet ? inlet : set_outlet;
    const double drop_bar = max(0.0, (inlet - outlet) - loss);
    const double power_kw = ((eta * flow) * (drop_bar * 100000.0)) / 1000.0;
    const double daily_kwh = power_kw * 24.0;
    const double specific = flow > 1e-12 ? power_kw / (flow * 3600.0) : 0.0;

    double* results = write_stream(u, y, stream, outlet, n);
    results[Result::reclaimed_power_kw] = power_kw;
    results[Result::power_demand_kw] = -power_kw;
    results[Result::daily_energy_kwh] = daily_kwh;
    results[Result::specific_energy_kwh_m3] = specific;
    results[Result::pressure_drop_bar] = drop_bar;
    results[Result::input_flag] = stream.flag;
}

}  // namespace hydrokit::recoupsimple

HYDROKIT_MODEL(recoupsimple, "Zero-order pressure energy recovery")
