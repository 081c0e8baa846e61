#include "zorvo/common/utf8.hpp"

namespace zorvo {
namespace {

bool is_continuation(std::uint8_t byte) noexcept { return (byte & 0xC0) == 0x80; }

// Byte count of a sequence that starts with `lead`; 0 when `lead` cannot start one.
std::size_t sequence_width(std::uint8_t lead) noexcept {
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

// The second byte's allowed range depends on the lead: it excludes overlong forms, surrogates
// and code points above U+10FFFF.
bool second_byte_fits(std::uint8_t lead, std::uint8_t second) noexcept {
    switch (lead) {
        case 0xE0: return second >= 0xA0 && second <= 0xBF;
        case 0xED: return second >= 0x80 && second <= 0x9F;
        case 0xF0: return second >= 0x90 && second <= 0xBF;
        case 0xF4: return second >= 0x80 && second <= 0x8F;
        default: return is_continuation(second);
    }
}

}  // namespace

std::string Utf8Fault::describe() const {
    if (error_length) {
        return "invalid utf-8 sequence of " + std::to_string(*error_length) + " bytes from index " +
               std::to_string(valid_up_to);
    }
    return "incomplete utf-8 byte sequence from index " + std::to_string(valid_up_to);
}

std::optional<Utf8Fault> find_utf8_fault(std::span<const std::uint8_t> bytes) noexcept {
    std::size_t index = 0;
    while (index < bytes.size()) {
        const std::uint8_t lead = bytes[index];
        const std::size_t width = sequence_width(lead);
        if (width == 1) {
            ++index;
            continue;
        }
        if (width == 0) return Utf8Fault{index, 1};
        // Check each following byte in turn; running out of input first makes it incomplete.
        for (std::size_t k = 1; k < width; ++k) {
            if (index + k >= bytes.size()) return Utf8Fault{index, std::nullopt};
            const std::uint8_t byte = bytes[index + k];
            const bool fits = k == 1 ? second_byte_fits(lead, byte) : is_continuation(byte);
            if (!fits) return Utf8Fault{index, k};
        }
        index += width;
    }
    return std::nullopt;
}

}  // namespace zorvo
