#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "zorvo/common/result.hpp"

namespace zorvo::wire {

// Strict standard base64: "+" and "/" as the last symbols, canonical "=" padding required, the
// unused bits of the last symbol zero, no whitespace. Errors: "Invalid symbol B, offset P.",
// "Invalid input length: N", "Invalid last symbol B, offset P.", "Invalid padding".
Result<std::vector<std::uint8_t>, std::string> base64_decode(std::string_view text);

// Standard base64 with padding.
std::string base64_encode(std::span<const std::uint8_t> bytes);

}  // namespace zorvo::wire
