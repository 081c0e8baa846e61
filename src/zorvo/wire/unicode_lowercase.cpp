#include "zorvo/wire/unicode_lowercase.hpp"

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "zorvo/common/text.hpp"
#include "zorvo/wire/unicode_tables.hpp"
#include "zorvo/common/utf8.hpp"

namespace zorvo::wire {
namespace {

namespace tables = unicode_tables;

constexpr char32_t kCapitalSigma = 0x03A3;
constexpr char32_t kSmallSigma = 0x03C3;
constexpr char32_t kFinalSigma = 0x03C2;
// Marks a byte that was not part of valid UTF-8; the byte itself sits in the low 8 bits.
constexpr char32_t kRawByteFlag = 0x80000000u;

bool in_ranges(std::span<const tables::CodePointRange> ranges, char32_t cp) noexcept {
    auto it = std::upper_bound(ranges.begin(), ranges.end(), cp,
                               [](char32_t value, const tables::CodePointRange& r) { return value < r.first; });
    return it != ranges.begin() && cp <= std::prev(it)->last;
}

bool is_case_ignorable(char32_t cp) noexcept { return in_ranges(tables::case_ignorable(), cp); }
bool is_cased(char32_t cp) noexcept { return in_ranges(tables::cased(), cp); }

char32_t simple_lowercase(char32_t cp) noexcept {
    const auto runs = tables::lowercase_runs();
    auto it = std::upper_bound(runs.begin(), runs.end(), cp,
                               [](char32_t value, const tables::LowercaseRun& run) { return value < run.start; });
    if (it == runs.begin()) return cp;
    const auto& run = *std::prev(it);
    const std::uint32_t offset = cp - run.start;
    if (offset % run.step != 0 || offset / run.step >= run.count) return cp;
    return static_cast<char32_t>(static_cast<std::int64_t>(cp) + run.delta);
}

const tables::MultiLowercase* multi_lowercase(char32_t cp) noexcept {
    for (const auto& entry : tables::multi_lowercase()) {
        if (entry.code_point == cp) return &entry;
    }
    return nullptr;
}

// Capital sigma lowercases to final sigma when a cased letter precedes it and none follows,
// skipping case-ignorable characters in both directions.
char32_t lowercase_sigma(std::span<const char32_t> text, std::size_t index) noexcept {
    std::size_t j = index;
    bool cased_before = false;
    while (j > 0) {
        const char32_t cp = text[--j];
        if (!is_case_ignorable(cp)) {
            cased_before = is_cased(cp);
            break;
        }
    }
    if (!cased_before) return kSmallSigma;
    for (std::size_t k = index + 1; k < text.size(); ++k) {
        const char32_t cp = text[k];
        if (!is_case_ignorable(cp)) return is_cased(cp) ? kSmallSigma : kFinalSigma;
    }
    return kFinalSigma;
}

// Splits UTF-8 into code points; bytes outside valid sequences become flagged raw bytes, which
// are neither cased nor case-ignorable.
std::vector<char32_t> decode(std::string_view utf8) {
    std::vector<char32_t> out;
    out.reserve(utf8.size());
    const auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(utf8.data()), utf8.size());
    std::size_t index = 0;
    while (index < bytes.size()) {
        const auto fault = find_utf8_fault(bytes.subspan(index));
        const std::size_t valid_end = fault ? index + fault->valid_up_to : bytes.size();
        while (index < valid_end) {
            const std::uint8_t lead = bytes[index];
            const std::size_t width = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
            char32_t cp = width == 1 ? lead : width == 2 ? (lead & 0x1F) : width == 3 ? (lead & 0x0F) : (lead & 0x07);
            for (std::size_t k = 1; k < width; ++k) cp = (cp << 6) | (bytes[index + k] & 0x3F);
            out.push_back(cp);
            index += width;
        }
        if (fault) {
            const std::size_t bad = fault->error_length.value_or(bytes.size() - index);
            for (std::size_t k = 0; k < bad; ++k) out.push_back(kRawByteFlag | bytes[index + k]);
            index += bad;
        }
    }
    return out;
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp & kRawByteFlag) {
        out.push_back(static_cast<char>(cp & 0xFF));
    } else if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

bool is_ascii(std::string_view text) noexcept {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

std::string unicode_lowercase(std::string_view utf8) {
    if (is_ascii(utf8)) return ascii_lowercase(utf8);

    const std::vector<char32_t> text = decode(utf8);
    std::string out;
    out.reserve(utf8.size() + 8);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char32_t cp = text[i];
        if (cp & kRawByteFlag) {
            append_utf8(out, cp);
        } else if (cp == kCapitalSigma) {
            append_utf8(out, lowercase_sigma(text, i));
        } else if (const auto* multi = multi_lowercase(cp)) {
            for (std::size_t k = 0; k < multi->length; ++k) append_utf8(out, multi->lowered[k]);
        } else {
            append_utf8(out, simple_lowercase(cp));
        }
    }
    return out;
}

}  // namespace zorvo::wire
