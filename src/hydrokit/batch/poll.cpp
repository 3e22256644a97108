// poll_exp of the batch extension (common/poll.hpp): the C library's exp, and
// a way out of a core whose batch is stopping. Until some batch of the process
// stops, the look costs one relaxed load of a shared counter.
#include "common/poll.hpp"

#include <cmath>

#include "batch/stop.hpp"
#include "common/cancel.hpp"

namespace hydrokit {

namespace {
[[gnu::noinline, gnu::cold, noreturn]] void leave_row() { throw batch::RowStopped{}; }
}  // namespace

double poll_exp(double x) {
    if (cancel_requested()) leave_row();
    return std::exp(x);
}

}  // namespace hydrokit
