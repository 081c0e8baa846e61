#include "region_result.hpp"

#include "signal_check.hpp"

namespace zorvo::python {
namespace {

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
    return run_signal_handlers_briefly();
}

TensorLayout RegionResult::layout(wire::TensorDtype requested) const {
    if (header_.ndim > shm::MAX_TENSOR_DIMS) return describe_tensor({}, std::nullopt, bytes_.size());
    return describe_tensor(std::span(header_.dims).first(header_.ndim), region_result_dtype(header_.dtype_code, requested),
                           bytes_.size());
}

}  // namespace zorvo::python
