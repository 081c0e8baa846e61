#include "zorvo/common/text.hpp"

#include "zorvo/common/utf8.hpp"

#include <cstdint>

namespace zorvo {
namespace {

bool is_white_space(char32_t c) noexcept {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

std::size_t sequence_length(unsigned char lead) noexcept {
    if (lead < 0x80) return 1;
    if (lead >= 0xF0) return 4;
    if (lead >= 0xE0) return 3;
    return 2;
}

// Decodes the code point at `text[pos]`; the text is assumed to be valid UTF-8.
char32_t decode_at(std::string_view text, std::size_t pos, std::size_t length) noexcept {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[pos + i]); };
    switch (length) {
        case 1: return byte(0);
        case 2: return (char32_t(byte(0) & 0x1F) << 6) | (byte(1) & 0x3F);
        case 3: return (char32_t(byte(0) & 0x0F) << 12) | (char32_t(byte(1) & 0x3F) << 6) | (byte(2) & 0x3F);
        default:
            return (char32_t(byte(0) & 0x07) << 18) | (char32_t(byte(1) & 0x3F) << 12) |
                   (char32_t(byte(2) & 0x3F) << 6) | (byte(3) & 0x3F);
    }
}

}  // namespace

std::string_view trim_white_space(std::string_view text) noexcept {
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t length = sequence_length(static_cast<unsigned char>(text[begin]));
        if (begin + length > text.size() || !is_white_space(decode_at(text, begin, length))) break;
        begin += length;
    }
    std::size_t end = text.size();
    while (end > begin) {
        std::size_t start = end - 1;
        while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
        if (!is_white_space(decode_at(text, start, end - start))) break;
        end = start;
    }
    return text.substr(begin, end - begin);
}

std::string ascii_lowercase(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

std::string utf8_lossy(std::string_view text) {
    static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
    const auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    std::string out;
    out.reserve(text.size());
    std::size_t index = 0;
    while (index < bytes.size()) {
        const auto fault = find_utf8_fault(bytes.subspan(index));
        if (!fault) {
            out.append(text.substr(index));
            break;
        }
        // The valid prefix, then one replacement for the maximal invalid part (the rest of the
        // input when it ends inside a sequence).
        out.append(text.substr(index, fault->valid_up_to));
        out += kReplacement;
        index += fault->valid_up_to;
        index += fault->error_length.value_or(bytes.size() - index);
    }
    return out;
}

}  // namespace zorvo
