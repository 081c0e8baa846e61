#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "zorvo/common/result.hpp"
#include "zorvo/wire/decode_error.hpp"
#include "zorvo/wire/dtype.hpp"

namespace zorvo::wire {

// A tensor result as handed on by the engine; the bytes are always present, whichever payload
// field carried them.
struct BinaryTensorPacket {
    std::vector<std::int64_t> shape;
    std::vector<std::uint8_t> data;
    TensorDtype dtype;
};

// A result payload read in place: direct `data` stays a view into the payload, so a caller that
// keeps the payload alive copies the bytes only once, where it needs them; base64 text is decoded
// into an owned buffer.
struct BinaryTensorPacketView {
    std::vector<std::int64_t> shape;
    TensorDtype dtype;
    std::span<const std::uint8_t> direct;
    std::optional<std::vector<std::uint8_t>> decoded;

    std::span<const std::uint8_t> data() const noexcept {
        return decoded ? std::span<const std::uint8_t>(*decoded) : direct;
    }
};

// The same checks and texts as `decode_tensor_packet`.
Result<BinaryTensorPacketView, DecodeError> decode_tensor_packet_view(std::span<const std::uint8_t> payload);

// Reads a result payload: shape, dtype text (any accepted spelling), then the optional `data`
// bytes and the optional `data_base64` text, exactly one of which must be present. Bytes after
// the record are ignored. Direct data is copied once out of the payload.
Result<BinaryTensorPacket, DecodeError> decode_tensor_packet(std::span<const std::uint8_t> payload);

// Encodes a result payload (engine side and tests). Both tag bytes are always written; the dtype
// text goes out as given, so callers can also produce unusual spellings.
std::vector<std::uint8_t> encode_tensor_payload(std::span<const std::int64_t> shape, std::string_view dtype_text,
                                                const std::optional<std::span<const std::uint8_t>>& data,
                                                const std::optional<std::string_view>& data_base64);

}  // namespace zorvo::wire
