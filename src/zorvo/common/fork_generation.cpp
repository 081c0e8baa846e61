#include "zorvo/common/fork_generation.hpp"

#include <pthread.h>

namespace zorvo {

namespace detail {
std::atomic<std::uint64_t> fork_generation{0};
}  // namespace detail

namespace {

void on_fork_child() noexcept { detail::fork_generation.fetch_add(1, std::memory_order_relaxed); }

// Registered when the library is loaded, before any client can be created.
[[maybe_unused]] const int registered = ::pthread_atfork(nullptr, nullptr, on_fork_child);

}  // namespace

}  // namespace zorvo
