// The stream pass-through shared by the pressure-equipment models: a set of
// component concentrations copied from input to output, with a count slot that
// moves the result block behind the last carried component.
#pragma once

#include <cstdint>

#include "replace.hpp"

namespace hydrokit {

// Room for components in the pressure-equipment vector layouts.
inline constexpr int32_t stream_components = 4;

// Components carried: (count + 0.5) truncated, kept within [0, 4] so the
// result block never leaves the output vector (NaN or out-of-range gives 0).
inline int32_t carried_components(double count) {
    const int32_t n = rounded_count(count);
    return n < 0 ? 0 : (n > stream_components ? stream_components : n);
}

// Non-finite or negative values are taken as 0.
inline double finite_non_negative(double value) { return (!is_finite(value) || value < 0) ? 0.0 : value; }

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

}  // namespace hydrokit
