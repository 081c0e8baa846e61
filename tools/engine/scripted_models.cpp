#include "scripted_models.hpp"

#include <optional>
#include <string_view>

#include "zorvo/common/little_endian.hpp"
#include "frame_protocol.hpp"
#include "zorvo/wire/base64.hpp"
#include "zorvo/wire/dtype.hpp"
#include "zorvo/wire/request.hpp"
#include "zorvo/wire/tensor_packet.hpp"

namespace zorvo::engine {

namespace {

// Where the primary tensor's data lies in an encoded request: after the shape list and the
// element-type text, behind its own count.
std::optional<std::span<const std::uint8_t>> locate_data(std::span<const std::uint8_t> payload) {
    std::size_t at = 0;
    auto read_count = [&]() -> std::optional<std::uint64_t> {
        if (payload.size() - at < 8) return std::nullopt;
        const std::uint64_t count = load_le<std::uint64_t>(payload.data() + at);
        at += 8;
        return count;
    };
    const auto dims = read_count();
    if (!dims || *dims > (payload.size() - at) / 8) return std::nullopt;
    at += static_cast<std::size_t>(*dims) * 8;
    const auto name_length = read_count();
    if (!name_length || *name_length > payload.size() - at) return std::nullopt;
    at += static_cast<std::size_t>(*name_length);
    const auto data_length = read_count();
    if (!data_length || *data_length > payload.size() - at) return std::nullopt;
    return payload.subspan(at, static_cast<std::size_t>(*data_length));
}

// The echo with `data` present. The result is encoded with no data, then the request's own data
// bytes are spliced in between the data count and the closing tag of the absent base64 field.
ReplyPayload echo_with_data(const wire::DecodedRequest& request, std::span<const std::uint8_t> request_payload) {
    const std::string_view dtype = wire::canonical_name(request.dtype);
    const auto data = locate_data(request_payload);
    if (!data || data->size() != request.data.size()) {
        return ReplyPayload::owned(wire::encode_tensor_payload(request.shape, dtype, std::span(request.data), std::nullopt));
    }
    constexpr std::size_t kCountAndTag = 8 + 1;
    ReplyPayload payload;
    payload.encoded = wire::encode_tensor_payload(request.shape, dtype, std::span<const std::uint8_t>(), std::nullopt);
    store_le<std::uint64_t>(payload.encoded.data() + (payload.encoded.size() - kCountAndTag), data->size());
    payload.insert_at = payload.encoded.size() - 1;
    payload.inserted = *data;
    return payload;
}

// The result payload for `model_id`: the request tensor echoed in the form that model uses.
ReplyPayload result_payload(std::uint32_t model_id, const wire::DecodedRequest& request,
                            std::span<const std::uint8_t> request_payload) {
    const std::string_view dtype = wire::canonical_name(request.dtype);
    switch (model_id) {
        case kModelBase64: {
            const std::string encoded = wire::base64_encode(request.data);
            return ReplyPayload::owned(
                wire::encode_tensor_payload(request.shape, dtype, std::nullopt, std::string_view(encoded)));
        }
        case kModelUndecodable:
            // Neither `data` nor `data_base64`: a payload no client can accept.
            return ReplyPayload::owned(wire::encode_tensor_payload(request.shape, dtype, std::nullopt, std::nullopt));
        default:
            return echo_with_data(request, request_payload);
    }
}

ReplyPayload text_payload(std::string_view text) {
    return ReplyPayload::owned(std::vector<std::uint8_t>(text.begin(), text.end()));
}

}  // namespace

SingleReply answer_single(std::uint32_t model_id, std::span<const std::uint8_t> request_payload) {
    SingleReply reply;
    if (model_id == kModelHangUp) {
        reply.hang_up = true;
        return reply;
    }
    auto request = wire::decode_inference_request(request_payload);
    if (!request.ok()) {
        reply.status = kStatusFailure;
        reply.payload = text_payload(kUndecodableRequestPrefix + request.error().message);
    } else if (model_id == kModelFailing) {
        reply.status = kFailingStatus;
        reply.payload = text_payload(kFailingText);
    } else {
        reply.status = kStatusOk;
        reply.payload = result_payload(model_id, *request, request_payload);
    }
    return reply;
}

StreamReply answer_stream(std::uint32_t model_id, std::span<const std::uint8_t> request_payload) {
    StreamReply reply;
    if (model_id == kModelHangUp) {
        reply.hang_up = true;
        return reply;
    }
    const StreamFrame item{kStatusStreamItem, StreamPart::Item};
    const StreamFrame end{kStatusOk, StreamPart::Empty};
    auto request = wire::decode_inference_request(request_payload);
    if (!request.ok()) {
        reply.text = kUndecodableRequestPrefix + request.error().message;
        reply.frames = {StreamFrame{kStatusStreamError, StreamPart::Text}, end};
        return reply;
    }
    reply.item = result_payload(model_id, *request, request_payload);
    switch (model_id) {
        case kModelFailing:
            reply.text = kStreamFailingText;
            reply.frames.assign(kStreamItemCount / 2, item);
            reply.frames.push_back(StreamFrame{kStatusStreamError, StreamPart::Text});
            reply.frames.insert(reply.frames.end(), kStreamItemCount / 2, item);
            reply.frames.push_back(end);
            break;
        case kModelBase64:
            reply.text = kStreamEndText;
            reply.frames.assign(kStreamItemCount, item);
            reply.frames.push_back(StreamFrame{kEndWithPayloadStatus, StreamPart::Text});
            break;
        case kModelUndecodable:
            reply.frames = {item, end};
            break;
        default:
            reply.frames.assign(kStreamItemCount, item);
            reply.frames.push_back(end);
            break;
    }
    return reply;
}

}  // namespace zorvo::engine
