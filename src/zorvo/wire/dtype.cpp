#include "zorvo/wire/dtype.hpp"

#include <array>
#include <optional>
#include <string>
#include <utility>

#include "zorvo/wire/unicode_lowercase.hpp"

namespace zorvo::wire {
namespace {

struct Spelling {
    std::string_view text;
    TensorDtype dtype;
};

constexpr std::array<Spelling, 14> kSpellings{{
    {"float32", TensorDtype::Float32}, {"fp32", TensorDtype::Float32},
    {"float64", TensorDtype::Float64}, {"fp64", TensorDtype::Float64},
    {"float16", TensorDtype::Float16}, {"fp16", TensorDtype::Float16},
    {"int32", TensorDtype::Int32},     {"i32", TensorDtype::Int32},
    {"int64", TensorDtype::Int64},     {"i64", TensorDtype::Int64},
    {"uint8", TensorDtype::Uint8},     {"u8", TensorDtype::Uint8},
    {"string", TensorDtype::String},   {"utf8", TensorDtype::String},
}};

}  // namespace

std::string_view canonical_name(TensorDtype dtype) noexcept {
    switch (dtype) {
        case TensorDtype::Float32: return "float32";
        case TensorDtype::Float64: return "float64";
        case TensorDtype::Float16: return "float16";
        case TensorDtype::Int32: return "int32";
        case TensorDtype::Int64: return "int64";
        case TensorDtype::Uint8: return "uint8";
        case TensorDtype::String: return "string";
    }
    return "float32";
}

namespace {

// Every accepted spelling is short ASCII, so a short ASCII text is lowercased on the stack and
// compared directly; anything else takes the full Unicode mapping.
std::optional<TensorDtype> match_short_ascii(std::string_view text) noexcept {
    constexpr std::size_t kLongestSpelling = 7;
    if (text.size() > kLongestSpelling) return std::nullopt;
    char lowered[kLongestSpelling];
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (static_cast<unsigned char>(c) >= 0x80) return std::nullopt;
        lowered[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    const std::string_view candidate(lowered, text.size());
    for (const auto& spelling : kSpellings) {
        if (spelling.text == candidate) return spelling.dtype;
    }
    return std::nullopt;
}

}  // namespace

Result<TensorDtype, EngineError> parse_dtype(std::string_view utf8_text) {
    if (const auto fast = match_short_ascii(utf8_text)) return *fast;
    std::string lowered = unicode_lowercase(utf8_text);
    for (const auto& spelling : kSpellings) {
        if (spelling.text == lowered) return spelling.dtype;
    }
    return fail(EngineError::invalid_input("Unsupported dtype: " + std::move(lowered)));
}

}  // namespace zorvo::wire
