#include "scripted_models.hpp"

#include <optional>
#include <string_view>
#include <utility>

#include "zorvo/common/little_endian.hpp"
#include "frame_protocol.hpp"
#include "zorvo/wire/base64.hpp"
#include "zorvo/wire/dtype.hpp"
#include "zorvo/wire/request.hpp"
#include "zorvo/wire/tensor_packet.hpp"

namespace zorvo::engine {

namespace {

// The echo with `data` present. The result is encoded with no data, then the request's decoded
// data bytes are spliced in between the data count and the closing tag of the absent base64 field.
ReplyPayload echo_with_data(wire::DecodedRequest& request) {
    constexpr std::size_t kCountAndTag = 8 + 1;
    ReplyPayload payload;
    payload.encoded = wire::encode_tensor_payload(request.shape, wire::canonical_name(request.dtype),
                                                  std::span<const std::uint8_t>(), std::nullopt);
    store_le<std::uint64_t>(payload.encoded.data() + (payload.encoded.size() - kCountAndTag), request.data.size());
    payload.insert_at = payload.encoded.size() - 1;
    payload.inserted = std::move(request.data);
    return payload;
}

// The result payload for `model_id`: the request tensor echoed in the form that model uses.
ReplyPayload result_payload(std::uint32_t model_id, wire::DecodedRequest& request) {
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
            return echo_with_data(request);
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
        reply.payload = result_payload(model_id, *request);
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
    reply.item = result_payload(model_id, *request);
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
