#include "region_result.hpp"

namespace zorvo::python {
namespace {

// Signal handlers get a chance once a wait is this old, and again after each further period.
constexpr auto kSignalCheckPeriod = std::chrono::milliseconds(5);
// The clock is read on every this-many polling rounds only: a round may be a few nanoseconds.
constexpr unsigned kRoundsPerClockRead = 64;

}  // namespace

bool RegionResult::run_pending_handlers() {
    if (++rounds_ % kRoundsPerClockRead != 0) return true;
    const auto now = std::chrono::steady_clock::now();
    if (next_check_ == std::chrono::steady_clock::time_point{}) {
        next_check_ = now + kSignalCheckPeriod;
        return true;
    }
    if (now < next_check_) return true;
    next_check_ = now + kSignalCheckPeriod;
    // The thread's own state: its error, if a handler raised, stays pending for the call's end.
    const PyGILState_STATE held = PyGILState_Ensure();
    const bool ok = PyErr_CheckSignals() == 0;
    PyGILState_Release(held);
    return ok;
}

TensorLayout RegionResult::layout(wire::TensorDtype requested) const {
    if (header_.ndim > shm::MAX_TENSOR_DIMS) return describe_tensor({}, std::nullopt, bytes_.size());
    return describe_tensor(std::span(header_.dims).first(header_.ndim), region_result_dtype(header_.dtype_code, requested),
                           bytes_.size());
}

}  // namespace zorvo::python
