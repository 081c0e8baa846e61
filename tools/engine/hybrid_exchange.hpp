#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "engine_region.hpp"

namespace zorvo::engine {

struct HybridReply {
    std::uint32_t status = 0;
    std::vector<std::uint8_t> payload;  // a 40-byte response record, or an error text
};

// Answers one hybrid control request (kind 4). The tensor already sits in the region, so the
// echo names the request's own block as the result: no tensor byte is copied. `region` is null
// when the engine serves no region.
HybridReply answer_hybrid(const EngineRegion* region, std::span<const std::uint8_t> request_payload);

}  // namespace zorvo::engine
