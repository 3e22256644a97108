// What every model source includes: the description of a model (name, widths,
// defaults, core) and the guarded C entry built from it. Nothing here touches
// Python; a model source compiled with HYDROKIT_CORE_ONLY defined yields just
// its core, its data and `<model>_core_guard`, for use from other C++ code.
#pragma once

#include <cstdint>

#include "replace.hpp"

#if defined(__GNUC__)
#define HYDROKIT_EXPORT __attribute__((visibility("default")))
#else
#define HYDROKIT_EXPORT
#endif

namespace hydrokit {

using CoreFn = void (*)(const double* u, const double* p, double* y);

struct ModelSpec {
    const char* name;         // bare module name, e.g. "pump"
    const char* description;  // DESCRIPTION
    int32_t input_width;
    int32_t param_width;
    int32_t output_width;
    const double* default_input;
    const double* default_params;
    CoreFn core;
};

// Checks of `<model>_core_guard`, in order; the core's own outcome is reported
// through `y` only, so a call that reaches the core returns 0.
inline int32_t guarded_call(const ModelSpec& m, const double* u, int32_t n_u, const double* p,
                            int32_t n_p, double* y, int32_t capacity) {
    if (u == nullptr || p == nullptr || y == nullptr) return -1;
    if (n_u != m.input_width) return -2;
    if (n_p != m.param_width) return -3;
    if (capacity < m.output_width) return -4;
    m.core(u, p, y);
    return 0;
}

}  // namespace hydrokit

#ifdef HYDROKIT_CORE_ONLY
#define HYDROKIT_FRAME(NAME)
#else
#include "module.hpp"
#define HYDROKIT_FRAME(NAME)                                                 \
    PyMODINIT_FUNC PyInit_##NAME(void) {                                     \
        return ::hydrokit::frame::Module<::hydrokit::NAME::spec>::init();    \
    }
#endif

// Declares a model whose namespace hydrokit::NAME defines the index tables
// In, Par and Out (each ending in `width`), the arrays default_input and
// default_params and the text description (all three generated from the
// model's slot table, slots/NAME.hpp), and the core NAME##_core(u, p, y).
#define HYDROKIT_MODEL(NAME)                                                           \
    namespace hydrokit::NAME {                                                         \
    static_assert(sizeof(default_input) == In::width * sizeof(double));                \
    static_assert(sizeof(default_params) == Par::width * sizeof(double));              \
    inline constexpr ::hydrokit::ModelSpec spec = {                                    \
        #NAME, description, In::width, Par::width, Out::width,                         \
        default_input, default_params, &NAME##_core};                                  \
    }                                                                                  \
    extern "C" HYDROKIT_EXPORT int32_t NAME##_core_guard(                              \
        const double* u, int32_t n_u, const double* p, int32_t n_p, double* y,         \
        int32_t capacity) {                                                            \
        return ::hydrokit::guarded_call(::hydrokit::NAME::spec, u, n_u, p, n_p, y,     \
                                        capacity);                                     \
    }                                                                                  \
    HYDROKIT_FRAME(NAME)
