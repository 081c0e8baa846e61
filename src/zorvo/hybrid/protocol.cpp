#include "zorvo/hybrid/protocol.hpp"

#include "zorvo/wire/decoder.hpp"
#include "zorvo/wire/encoder.hpp"

namespace zorvo::hybrid {

void HybridRequest::encode_into(std::span<std::uint8_t, HYBRID_REQUEST_SIZE> out) const {
    metadata.encode_into(out.first<wire::TransportRequestMetadata::kEncodedSize>());
    wire::Encoder tail(out.subspan(wire::TransportRequestMetadata::kEncodedSize));
    tail.u64(tensor_offset);
    tail.u64(tensor_size);
}

Result<HybridResponse, wire::DecodeError> HybridResponse::decode(std::span<const std::uint8_t> payload) {
    wire::Decoder in(payload);
    HybridResponse response;
    auto request_id = in.u64();
    if (!request_id.ok()) return fail(std::move(request_id).error());
    response.request_id = request_id.value();
    auto is_error = in.u8();
    if (!is_error.ok()) return fail(std::move(is_error).error());
    response.is_error = is_error.value();
    for (std::uint8_t& byte : response.reserved) {
        auto reserved = in.u8();
        if (!reserved.ok()) return fail(std::move(reserved).error());
        byte = reserved.value();
    }
    for (std::uint64_t* field : {&response.aux_1, &response.result_offset, &response.aux_2}) {
        auto value = in.u64();
        if (!value.ok()) return fail(std::move(value).error());
        *field = value.value();
    }
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
