// The exp() of the batch extension: the C library's, with a way out of a core
// whose batch is stopping (see escape.hpp). Nothing here includes the C
// library's maths header, so this definition is the only declaration of exp
// this file sees.
#include <dlfcn.h>

#include <atomic>
#include <csetjmp>

#include "batch/escape.hpp"
#include "common/cancel.hpp"

namespace hydrokit::batch {
namespace {

using ExpFn = double (*)(double);
ExpFn c_exp = nullptr;

[[gnu::noinline, gnu::cold]] void escape_if_stopped() noexcept {
    std::jmp_buf* target = escape_detail::target;
    if (target != nullptr && cancel_requested()) {
        escape_detail::target = nullptr;
        std::longjmp(*target, 1);
    }
}

}  // namespace

bool hook_exp() {
    // The next definition after this library's own: the C library's exp, the
    // same function the model modules call.
    c_exp = reinterpret_cast<ExpFn>(dlsym(RTLD_NEXT, "exp"));
    return c_exp != nullptr;
}

}  // namespace hydrokit::batch

extern "C" double exp(double x) noexcept {
    if (hydrokit::cancel_detail::stopping.load(std::memory_order_relaxed) != 0) {
        hydrokit::batch::escape_if_stopped();
    }
    return hydrokit::batch::c_exp(x);
}
