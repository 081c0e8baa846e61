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
    const bool borrow = request.data.size() >= RequestFrame::kBorrowedDataMin;
    const std::size_t own_size = kRequestHeaderSize + payload_size - (borrow ? request.data.size() : 0);
    RequestFrame frame(own_size);
    const std::span<std::uint8_t> out = frame.own_bytes();
    store_le(out.data(), parts.model_id);
    store_le(out.data() + 4, parts.kind);
    store_le(out.data() + 8, static_cast<std::uint32_t>(payload_size));
    if (!borrow) {
        wire::encode_into(request, out.subspan(kRequestHeaderSize));
        return frame;
    }
    const std::size_t data_offset = wire::encode_into_except_data(request, out.subspan(kRequestHeaderSize));
    frame.borrow(kRequestHeaderSize + data_offset, request.data);
    return frame;
}

Result<Unit, SystemError> RequestFrame::write_to(Connection& connection) const {
    if (data_.empty()) return connection.write_all({bytes_.get(), size_});
    const auto all = pieces();
    return connection.write_all_gathered(all);
}

}  // namespace zorvo::net
