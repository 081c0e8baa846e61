#pragma once

#include <string>

#include "zorvo/common/unique_fd.hpp"
#include "zorvo/common/result.hpp"

namespace zorvo::engine {

// A descriptor that becomes readable, and stays readable, once the engine is told to stop, so
// that threads waiting in poll() wake up together.
class StopEvent {
public:
    static Result<StopEvent, std::string> create();

    void trigger() const noexcept;
    int fd() const noexcept { return fd_.get(); }

private:
    explicit StopEvent(UniqueFd fd) noexcept : fd_(std::move(fd)) {}
    UniqueFd fd_;
};

}  // namespace zorvo::engine
