// The exp of the cores' unbounded loops (the lumped element's fixed point, the
// membrane stage's flux iteration): every pass calls poll_exp, so a batch that
// is told to stop can leave such a core between two passes.
//
// In a model module it is the C library's exp and nothing else, inline. In the
// batch extension (built with HYDROKIT_CORE_ONLY) it is defined out of line in
// batch/poll.cpp: the same exp, after a look at whether the calling thread's
// batch is stopping, in which case it throws batch::RowStopped, which unwinds
// through the core (running any destructor on the way) to the engine.
#pragma once

#include <cmath>

namespace hydrokit {

#ifdef HYDROKIT_CORE_ONLY
double poll_exp(double x);
#else
inline double poll_exp(double x) { return std::exp(x); }
#endif

}  // namespace hydrokit
