#pragma once

#include <atomic>
#include <cstdint>

namespace zorvo {

namespace detail {
extern std::atomic<std::uint64_t> fork_generation;
}  // namespace detail

// A process-wide count of forks this process descends from, raised in the child by a
// pthread_atfork handler. An object that owns descriptors, threads or shared state records the
// value when it acquires them; a different value later means it is running in a forked child and
// must not touch what the parent owns. Reading it is one relaxed load, cheap enough for every call.
inline std::uint64_t fork_generation() noexcept {
    return detail::fork_generation.load(std::memory_order_relaxed);
}

}  // namespace zorvo
