#include "zorvo/net/request_frame.hpp"

#include "zorvo/wire/dtype.hpp"

namespace zorvo::net {
namespace {

void put_u32(std::uint8_t* out, std::uint32_t value) noexcept {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace

Result<std::vector<wire::NamedTensor>, ClientError> named_tensors_from(
    std::span<const AdditionalInput> inputs) {
    std::vector<wire::NamedTensor> tensors;
    tensors.reserve(inputs.size());
    for (const AdditionalInput& input : inputs) {
        auto dtype = wire::parse_dtype(input.dtype);
        if (!dtype.ok()) return fail(ClientError::invalid_request(dtype.error().display()));
        tensors.push_back(wire::NamedTensor{input.name, input.shape, dtype.value(), input.data});
    }
    return tensors;
}

Result<RequestFrame, ClientError> encode_request_frame(const RequestFrameParts& parts) {
    auto dtype = wire::parse_dtype(parts.tensor.dtype);
    if (!dtype.ok()) return fail(ClientError::invalid_request(dtype.error().display()));

    wire::InferenceRequest request{};
    request.shape = parts.tensor.shape;
    request.dtype = dtype.value();
    request.data = parts.tensor.data;
    request.additional_inputs = parts.additional_inputs;
    if (parts.api_token) {
        wire::EngineRequestMetadata metadata{};
        metadata.api_token = *parts.api_token;
        request.metadata = std::move(metadata);
    }

    const std::size_t payload_size = wire::encoded_size(request);
    if (payload_size > kMaxFramePayload) {
        return fail(ClientError::serialization("request too large: " + std::to_string(payload_size) +
                                               " bytes exceeds the 4 GiB frame limit"));
    }
    RequestFrame frame(kRequestHeaderSize + payload_size);
    const std::span<std::uint8_t> out = frame.bytes();
    put_u32(out.data(), parts.model_id);
    put_u32(out.data() + 4, parts.kind);
    put_u32(out.data() + 8, static_cast<std::uint32_t>(payload_size));
    wire::encode_into(request, out.subspan(kRequestHeaderSize));
    return frame;
}

}  // namespace zorvo::net
