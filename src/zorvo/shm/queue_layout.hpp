#pragma once

#include <cstdint>

namespace zorvo::shm {

// Both sides of the region use the same ring capacity; it is not stored in the region.
inline constexpr std::uint64_t QUEUE_CAPACITY = 1021;

inline constexpr std::uint64_t REQUEST_ENTRY_SIZE = 40;
inline constexpr std::uint64_t RESPONSE_ENTRY_SIZE = 48;

// Three index cells of one entry each, then the slots.
constexpr std::uint64_t queue_bytes(std::uint64_t entry_size) noexcept {
    return (3 + QUEUE_CAPACITY) * entry_size;
}

inline constexpr std::uint64_t REQUEST_QUEUE_BYTES = queue_bytes(REQUEST_ENTRY_SIZE);
inline constexpr std::uint64_t RESPONSE_QUEUE_BYTES = queue_bytes(RESPONSE_ENTRY_SIZE);

}  // namespace zorvo::shm
