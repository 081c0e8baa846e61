#pragma once

#include <bit>
#include <concepts>
#include <cstdint>
#include <cstring>

namespace zorvo {

// Every integer that crosses a process boundary (frames, records, the region) is little-endian.
template <std::integral T>
T load_le(const std::uint8_t* source) noexcept {
    T value;
    std::memcpy(&value, source, sizeof value);
    if constexpr (std::endian::native == std::endian::big && sizeof(T) > 1) {
        using U = std::make_unsigned_t<T>;
        U bits = static_cast<U>(value);
        U swapped = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) {
            swapped = static_cast<U>((swapped << 8) | ((bits >> (8 * i)) & 0xFF));
        }
        value = static_cast<T>(swapped);
    }
    return value;
}

template <std::integral T>
void store_le(std::uint8_t* target, T value) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        // One store: the compiler does not always merge the byte loop below into one.
        std::memcpy(target, &value, sizeof value);
    } else {
        using U = std::make_unsigned_t<T>;
        const U bits = static_cast<U>(value);
        for (std::size_t i = 0; i < sizeof(T); ++i) {
            target[i] = static_cast<std::uint8_t>(bits >> (8 * i));
        }
    }
}

// True when [offset, offset + length) lies inside a buffer of `size` bytes, without overflow.
constexpr bool range_inside(std::uint64_t offset, std::uint64_t length, std::uint64_t size) noexcept {
    return offset <= size && length <= size - offset;
}

}  // namespace zorvo
