// Cancellation of a batch, as seen by the code that runs its rows.
//
// The batch engine points each worker thread at the stop flag of the batch it
// works on (`CancelScope`) and counts the batches of the process that are
// stopping. Code that loops on its own (a flowsheet's tear loop) asks
// `cancel_requested()` every few passes and leaves its row when it says yes;
// the row is thrown away with the whole batch. Until a batch stops, the answer
// costs one load of a shared counter.
//
// The model modules (built without HYDROKIT_CORE_ONLY) run no batch: there
// `cancel_requested()` is a constant false.
#pragma once

#ifdef HYDROKIT_CORE_ONLY

#include <atomic>

namespace hydrokit {

namespace cancel_detail {
// Batches of this process that were told to stop and still have workers inside.
inline std::atomic<int> stopping{0};
// The stop flag of the batch this thread works on; none outside a batch.
inline thread_local const std::atomic<bool>* flag = nullptr;

[[gnu::noinline, gnu::cold]] inline bool own_flag_raised() noexcept {
    const std::atomic<bool>* own = flag;
    return own != nullptr && own->load(std::memory_order_relaxed);
}
}  // namespace cancel_detail

inline bool cancel_requested() noexcept {
    return cancel_detail::stopping.load(std::memory_order_relaxed) != 0 && cancel_detail::own_flag_raised();
}

// Points this thread at a batch's stop flag for the scope's lifetime.
class CancelScope {
  public:
    explicit CancelScope(const std::atomic<bool>* flag) noexcept : previous_(cancel_detail::flag) {
        cancel_detail::flag = flag;
    }
    ~CancelScope() { cancel_detail::flag = previous_; }
    CancelScope(const CancelScope&) = delete;
    CancelScope& operator=(const CancelScope&) = delete;

  private:
    const std::atomic<bool>* previous_;
};

}  // namespace hydrokit

#else

namespace hydrokit {
constexpr bool cancel_requested() noexcept { return false; }
}  // namespace hydrokit

#endif
