#include "zorvo/common/fork_generation.hpp"

#include <pthread.h>

#include <atomic>

namespace zorvo {
namespace {

std::atomic<std::uint64_t> generation{0};

void on_fork_child() noexcept { generation.fetch_add(1, std::memory_order_relaxed); }

// Registered when the library is loaded, before any client can be created.
const int registered = ::pthread_atfork(nullptr, nullptr, on_fork_child);

}  // namespace

std::uint64_t fork_generation() noexcept {
    (void)registered;
    return generation.load(std::memory_order_relaxed);
}

}  // namespace zorvo
