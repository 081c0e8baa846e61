#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "zorvo/common/result.hpp"
#include "zorvo/wire/decode_error.hpp"
#include "zorvo/wire/transport_metadata.hpp"

namespace zorvo::hybrid {

// Kind field of a request frame that names a tensor block in shared memory.
inline constexpr std::uint32_t HYBRID_KIND = 4;
inline constexpr std::size_t HYBRID_REQUEST_SIZE = 40;
inline constexpr std::size_t HYBRID_RESPONSE_SIZE = 40;
inline constexpr std::size_t REQUEST_FRAME_HEADER_SIZE = 12;
inline constexpr std::size_t REQUEST_FRAME_SIZE = REQUEST_FRAME_HEADER_SIZE + HYBRID_REQUEST_SIZE;
inline constexpr std::size_t RESPONSE_FRAME_HEADER_SIZE = 8;

// Announces a written tensor block; the same 40 bytes as a shared-memory request entry.
struct HybridRequest {
    wire::TransportRequestMetadata metadata;
    std::uint64_t tensor_offset = 0;  // from the start of the region
    std::uint64_t tensor_size = 0;    // data_len + 80

    void encode_into(std::span<std::uint8_t, HYBRID_REQUEST_SIZE> out) const;
};

// The engine's answer; the layout of the first 40 bytes of a shared-memory response entry.
struct HybridResponse {
    std::uint64_t request_id = 0;
    std::uint8_t is_error = 0;
    std::array<std::uint8_t, 7> reserved{};
    std::uint64_t aux_1 = 0;
    std::uint64_t result_offset = 0;  // the result tensor block, from the start of the region
    std::uint64_t aux_2 = 0;

    // Reads the first 40 bytes; anything after them is ignored.
    static Result<HybridResponse, wire::DecodeError> decode(std::span<const std::uint8_t> payload);

    bool operator==(const HybridResponse&) const = default;
};

// The whole request frame: model identifier 0, HYBRID_KIND, payload length 40, the record.
std::array<std::uint8_t, REQUEST_FRAME_SIZE> encode_request_frame(const HybridRequest& request);

}  // namespace zorvo::hybrid
