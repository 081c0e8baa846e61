#include "zorvo/wire/base64.hpp"

#include <array>

namespace zorvo::wire {
namespace {

constexpr char kPad = '=';
constexpr std::uint8_t kInvalid = 0xFF;
constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::uint8_t, 256> make_decode_table() {
    std::array<std::uint8_t, 256> table{};
    table.fill(kInvalid);
    for (std::size_t i = 0; i < kAlphabet.size(); ++i) table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
    return table;
}
constexpr auto kDecode = make_decode_table();

std::uint8_t symbol_value(char c) noexcept { return kDecode[static_cast<unsigned char>(c)]; }

std::string symbol_error(std::string_view what, std::size_t offset, char c) {
    return std::string(what) + " " + std::to_string(static_cast<unsigned char>(c)) + ", offset " +
           std::to_string(offset) + ".";
}
std::string invalid_symbol(std::size_t offset, char c) { return symbol_error("Invalid symbol", offset, c); }

}  // namespace

Result<std::vector<std::uint8_t>, std::string> base64_decode(std::string_view text) {
    const std::size_t length = text.size();
    const std::size_t remainder = length % 4;
    // A stray character at the very end (say a newline) is reported as such rather than as a
    // length problem.
    if (remainder == 1 && text.back() != kPad && symbol_value(text.back()) == kInvalid) {
        return fail(invalid_symbol(length - 1, text.back()));
    }
    // The last group, complete or not, may carry padding and is decoded separately.
    const std::size_t body_end = remainder == 0 ? (length >= 4 ? length - 4 : 0) : length - remainder;

    std::vector<std::uint8_t> out((length + 3) / 4 * 3);
    std::size_t written = 0;
    for (std::size_t group = 0; group < body_end; group += 4) {
        std::uint32_t bits = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const std::uint8_t value = symbol_value(text[group + k]);
            if (value == kInvalid) return fail(invalid_symbol(group + k, text[group + k]));
            bits = (bits << 6) | value;
        }
        out[written++] = static_cast<std::uint8_t>(bits >> 16);
        out[written++] = static_cast<std::uint8_t>(bits >> 8);
        out[written++] = static_cast<std::uint8_t>(bits);
    }

    std::array<std::uint8_t, 4> symbols{};
    std::size_t symbol_count = 0;
    std::size_t padding_count = 0;
    std::size_t first_padding = 0;
    char last_symbol = 0;
    for (std::size_t index = body_end; index < length; ++index) {
        const char c = text[index];
        if (c == kPad) {
            // Padding may only follow at least two symbols of the group.
            if (index - body_end < 2) return fail(invalid_symbol(index, c));
            if (padding_count++ == 0) first_padding = index;
            continue;
        }
        if (padding_count > 0) return fail(invalid_symbol(first_padding, kPad));
        const std::uint8_t value = symbol_value(c);
        if (value == kInvalid) return fail(invalid_symbol(index, c));
        last_symbol = c;
        symbols[symbol_count++] = value;
    }
    if (length != 0 && symbol_count < 2) {
        return fail("Invalid input length: " + std::to_string(body_end + symbol_count));
    }
    if ((padding_count + symbol_count) % 4 != 0) return fail(std::string("Invalid padding"));

    const std::uint32_t bits = (std::uint32_t{symbols[0]} << 26) | (std::uint32_t{symbols[1]} << 20) |
                               (std::uint32_t{symbols[2]} << 14) | (std::uint32_t{symbols[3]} << 8);
    const std::size_t tail_bytes = symbol_count * 6 / 8;
    // Bits the last symbol carries beyond the decoded bytes must be zero (canonical encoding).
    const std::uint32_t unused_mask = ~std::uint32_t{0} >> (tail_bytes * 8);
    if ((bits & unused_mask) != 0) {
        return fail(symbol_error("Invalid last symbol", body_end + symbol_count - 1, last_symbol));
    }
    for (std::size_t k = 0; k < tail_bytes; ++k) out[written++] = static_cast<std::uint8_t>(bits >> (24 - 8 * k));
    out.resize(written);
    return out;
}

std::string base64_encode(std::span<const std::uint8_t> bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t index = 0;
    for (; index + 3 <= bytes.size(); index += 3) {
        const std::uint32_t bits = (std::uint32_t{bytes[index]} << 16) | (std::uint32_t{bytes[index + 1]} << 8) | bytes[index + 2];
        for (int shift = 18; shift >= 0; shift -= 6) out.push_back(kAlphabet[(bits >> shift) & 0x3F]);
    }
    const std::size_t left = bytes.size() - index;
    if (left > 0) {
        std::uint32_t bits = std::uint32_t{bytes[index]} << 16;
        if (left == 2) bits |= std::uint32_t{bytes[index + 1]} << 8;
        out.push_back(kAlphabet[(bits >> 18) & 0x3F]);
        out.push_back(kAlphabet[(bits >> 12) & 0x3F]);
        out.push_back(left == 2 ? kAlphabet[(bits >> 6) & 0x3F] : kPad);
        out.push_back(kPad);
    }
    return out;
}

}  // namespace zorvo::wire
