// Leaving a core in the middle of its row when the batch is told to stop.
//
// The cores are compiled into the batch extension exactly as into their model
// modules: no flag is tested inside their loops, so the machine code, and with
// it every double down to the sign and payload of a NaN, stays that of `run`
// (a test inside a loop changes the compiler's register choices, and with them
// which of two NaN operands an addition hands on). What every unbounded loop of
// the cores does on every pass is call exp(); within this extension exp() is
// the function in escape.cpp, which calls the C library's exp and, only while
// some batch of the process is stopping, jumps out of the core when the
// calling thread's batch is the one stopping and has armed an escape.
//
// A jump leaves frames without running destructors, so the engine arms an
// escape only for batch types that say their rows hold no object with a
// destructor between the engine and the cores (`static constexpr bool
// escapable = true`); the rows of other types run to the end of their current
// core call, and their own loops ask `cancel_requested()`.
#pragma once

#include <csetjmp>

namespace hydrokit::batch {

namespace escape_detail {
// Where a stopping core jumps to on this thread; none while disarmed.
inline thread_local std::jmp_buf* target = nullptr;
}  // namespace escape_detail

// Finds the C library's exp for the hook; false (and a Python error set) when
// it cannot be found. Called once when the extension is loaded.
bool hook_exp();

}  // namespace hydrokit::batch
