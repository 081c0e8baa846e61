#include "zorvo/hybrid/protocol.hpp"

#include <algorithm>

#include "zorvo/common/little_endian.hpp"
#include "zorvo/shm/queue_entries.hpp"
#include "zorvo/wire/encoder.hpp"

namespace zorvo::hybrid {

void HybridRequest::encode_into(std::span<std::uint8_t, HYBRID_REQUEST_SIZE> out) const {
    shm::encode_request_record(metadata, tensor_offset, tensor_size, out);
}

Result<HybridResponse, wire::DecodeError> HybridResponse::decode(std::span<const std::uint8_t> payload) {
    if (payload.size() < HYBRID_RESPONSE_SIZE) return fail(wire::DecodeError::unexpected_eof());
    const std::uint8_t* at = payload.data();
    HybridResponse response;
    response.request_id = load_le<std::uint64_t>(at);
    response.is_error = at[8];
    std::copy(at + 9, at + 16, response.reserved.begin());
    response.aux_1 = load_le<std::uint64_t>(at + 16);
    response.result_offset = load_le<std::uint64_t>(at + 24);
    response.aux_2 = load_le<std::uint64_t>(at + 32);
    return response;
}

std::array<std::uint8_t, REQUEST_FRAME_SIZE> encode_request_frame(const HybridRequest& request) {
    std::array<std::uint8_t, REQUEST_FRAME_SIZE> frame{};
    wire::Encoder header{std::span(frame).first<REQUEST_FRAME_HEADER_SIZE>()};
    header.u32(0);  // a hybrid request names no model
    header.u32(HYBRID_KIND);
    header.u32(static_cast<std::uint32_t>(HYBRID_REQUEST_SIZE));
    request.encode_into(std::span(frame).subspan<REQUEST_FRAME_HEADER_SIZE>());
    return frame;
}

}  // namespace zorvo::hybrid
