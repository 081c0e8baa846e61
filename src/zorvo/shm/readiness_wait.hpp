#pragma once

#include <chrono>

#include "zorvo/shm/infer_host.hpp"

namespace zorvo::shm {

// Sleeps in the kernel, with the host lock released, until `fd` is readable or `limit` has
// passed, then drains what is buffered on it. A negative `fd` means the region has none.
// Only shortens the polling that follows; every outcome is fine for the caller.
void wait_for_readiness(int fd, std::chrono::milliseconds limit, InferHost& host) noexcept;

}  // namespace zorvo::shm
