// Base64 text from the engine. The accepted form is strict (canonical padding, zero unused bits),
// so decoding and encoding are exact inverses: anything accepted re-encodes to the same text, and
// any byte string survives an encode/decode round trip.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "fuzz_input.hpp"
#include "zorvo/wire/base64.hpp"

using zorvo::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto decoded = zorvo::wire::base64_decode(text);
    if (decoded.ok()) {
        require(decoded->size() == size / 4 * 3 - (size >= 1 && text[size - 1] == '=') -
                                       (size >= 2 && text[size - 2] == '='),
                "decoded length does not follow from the text length and padding");
        require(zorvo::wire::base64_encode(decoded.value()) == text, "accepted text is not canonical");
    }

    const auto encoded = zorvo::wire::base64_encode(std::span<const std::uint8_t>(data, size));
    require(encoded.size() == (size + 2) / 3 * 4, "encoded length is not 4 per started 3 bytes");
    auto back = zorvo::wire::base64_decode(encoded);
    require(back.ok(), "own encoding is rejected");
    require(std::span<const std::uint8_t>(back.value()).size() == size &&
                std::equal(back->begin(), back->end(), data),
            "encode/decode does not give the bytes back");
    return 0;
}
