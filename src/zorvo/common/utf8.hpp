#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace zorvo {

// Where and how a byte string stops being valid UTF-8.
struct Utf8Fault {
    std::size_t valid_up_to;                // bytes before the fault are valid
    std::optional<std::size_t> error_length;  // bytes of the invalid sequence; none if input ended

    // "invalid utf-8 sequence of N bytes from index I" or
    // "incomplete utf-8 byte sequence from index I".
    std::string describe() const;
};

// Finds the first fault, or nothing when all of `bytes` is valid UTF-8 (no surrogates, no overlong
// forms, nothing above U+10FFFF).
std::optional<Utf8Fault> find_utf8_fault(std::span<const std::uint8_t> bytes) noexcept;

}  // namespace zorvo
