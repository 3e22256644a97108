// Small value rules shared by every model core.
//
// max, min and clamp keep the operand order of the model descriptions: the
// comparison decides which operand a NaN travels through, so they must not be
// replaced by std::max / std::fmax, whose NaN handling differs.
#pragma once

#include <cmath>
#include <cstdint>

namespace hydrokit {

// a when a > b, otherwise b (a NaN in either place yields b).
inline double max(double a, double b) { return a > b ? a : b; }

// a when a < b, otherwise b.
inline double min(double a, double b) { return a < b ? a : b; }

// lo when lo > x, otherwise min(hi, x).
inline double clamp(double x, double lo, double hi) { return lo > x ? lo : min(hi, x); }

inline bool is_finite(double x) { return std::isfinite(x); }

// f when x is infinite or NaN, otherwise x.
inline double finite_or(double x, double f) { return std::isfinite(x) ? x : f; }

// 0 when x is non-finite or below 0, otherwise x (−0.0 stays −0.0).
inline double finite_non_negative(double x) { return (!std::isfinite(x) || x < 0) ? 0.0 : x; }

// l when x is non-finite or below l, h when above h, otherwise x.
inline double clamp_or_low(double x, double l, double h) {
    if (!std::isfinite(x)) return l;
    if (x < l) return l;
    if (x > h) return h;
    return x;
}

// The one double-to-int conversion of the package: truncation toward zero,
// and INT32_MIN for NaN, infinities and values outside the int32 range,
// where a plain cast would be undefined behaviour.
inline int32_t to_int32(double x) {
    if (!(x > -2147483649.0 && x < 2147483648.0)) return INT32_MIN;
    return static_cast<int32_t>(x);
}

// A count slot read as (value + 0.5) truncated, e.g. an iteration cap.
inline int32_t rounded_count(double value) { return to_int32(value + 0.5); }

// An iteration cap: (value + 0.5) truncated, at least 1. Held in 64 bits so
// that a pass counter may run to cap + 1 without overflow.
inline int64_t pass_cap(double value) {
    const int32_t n = rounded_count(value);
    return n > 1 ? n : 1;
}

// c·x^k formed by repeated multiplication with the coefficient on the first
// factor: ((c·x)·x)·x … (k ≥ 1).
inline double power_term(double c, double x, int k) {
    double r = c * x;
    for (int i = 1; i < k; ++i) r = r * x;
    return r;
}

}  // namespace hydrokit
