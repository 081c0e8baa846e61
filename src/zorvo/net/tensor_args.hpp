#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zorvo::net {

// The caller's primary tensor, borrowed for the length of one call; the element type is still
// text because it is parsed only once a connection is held.
struct TensorArgs {
    std::span<const std::int64_t> shape;
    std::string_view dtype;
    std::span<const std::uint8_t> data;
};

// One named extra input as the caller gave it, element type not yet parsed.
struct AdditionalInput {
    std::string name;
    std::vector<std::int64_t> shape;
    std::string dtype;
    std::vector<std::uint8_t> data;
};

}  // namespace zorvo::net
