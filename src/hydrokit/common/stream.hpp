// The stream pass-through shared by the pressure-equipment models: a set of
// component concentrations copied from input to output, with a count slot that
// moves the result block behind the last carried component.
#pragma once

#include <cstdint>

#include "replace.hpp"
#include "slots/stream.hpp"  // StreamIn, StreamOut, stream_components: from the pump's table

namespace hydrokit {

// Components carried: (count + 0.5) truncated, kept within [0, 4] so the
// result block never leaves the output vector (NaN or out-of-range gives 0).
inline int32_t carried_components(double count) {
    const int32_t n = rounded_count(count);
    return n < 0 ? 0 : (n > stream_components ? stream_components : n);
}

// Copy n concentrations; a non-finite or negative one is written as 0 and sets
// the flag to 3.
inline void carry_components(const double* from, double* to, int32_t n, double& flag) {
    for (int32_t i = 0; i < n; ++i) {
        double c = from[i];
        if (!is_finite(c) || c < 0) {
            c = 0;
            flag = 3;
        }
        to[i] = c;
    }
}

// Flow and inlet pressure after their replacement rules, and the input flag.
struct StreamInlet {
    double flow;       // m³/s; non-finite or negative: 0, flag 1
    double inlet_bar;  // bar; non-finite or negative: 0, flag 2
    double flag;
};

inline StreamInlet read_stream(const double* u) {
    StreamInlet s{u[StreamIn::feed_flow], u[StreamIn::inlet_pressure_bar], 0.0};
    if (!is_finite(s.flow) || s.flow < 0) {
        s.flow = 0;
        s.flag = 1;
    }
    if (!is_finite(s.inlet_bar) || s.inlet_bar < 0) {
        s.inlet_bar = 0;
        s.flag = 2;
    }
    return s;
}

// Writes the stream part of y (flow, temperature, outlet pressure, the n carried
// components, which may raise the flag to 3) and returns where the six
// results go.
inline double* write_stream(const double* u, double* y, StreamInlet& s, double outlet_bar, int32_t n) {
    y[StreamOut::flow] = s.flow;
    y[StreamOut::temperature_c] = u[StreamIn::temperature_c];
    y[StreamOut::outlet_pressure_bar] = outlet_bar;
    carry_components(u + StreamIn::component1_conc, y + StreamOut::component1_conc, n, s.flag);
    return y + StreamOut::component1_conc + n;
}

}  // namespace hydrokit
