#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace zorvo::engine {

// Every integer that crosses the process boundary is little-endian; these helpers make that
// explicit at each use instead of relying on the host order.
inline std::uint32_t load_u32_le(std::span<const std::uint8_t> bytes, std::size_t at) noexcept {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) value |= std::uint32_t{bytes[at + i]} << (8 * i);
    return value;
}

inline std::uint64_t load_u64_le(std::span<const std::uint8_t> bytes, std::size_t at) noexcept {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < 8; ++i) value |= std::uint64_t{bytes[at + i]} << (8 * i);
    return value;
}

inline void store_u32_le(std::span<std::uint8_t> bytes, std::size_t at, std::uint32_t value) noexcept {
    for (std::size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline void store_u64_le(std::span<std::uint8_t> bytes, std::size_t at, std::uint64_t value) noexcept {
    for (std::size_t i = 0; i < 8; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace zorvo::engine
