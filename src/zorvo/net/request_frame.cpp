#include "zorvo/net/request_frame.hpp"

#include "zorvo/common/little_endian.hpp"
#include "zorvo/wire/dtype.hpp"

namespace zorvo::net {
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
    store_le(out.data(), parts.model_id);
    store_le(out.data() + 4, parts.kind);
    store_le(out.data() + 8, static_cast<std::uint32_t>(payload_size));
    wire::encode_into(request, out.subspan(kRequestHeaderSize));
    return frame;
}

}  // namespace zorvo::net
