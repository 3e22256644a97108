// Zero-order pressure energy recovery: hydraulic power reclaimed with one fixed
// efficiency while a stream is let down to a set outlet pressure; temperature
// and component concentrations pass through as in the pump model.
#include "common/model.hpp"
#include "common/stream.hpp"
#include "slots/recoupsimple.hpp"

namespace hydrokit::recoupsimple {

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

HYDROKIT_MODEL(recoupsimple)
