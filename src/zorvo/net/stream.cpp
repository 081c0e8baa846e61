#include "zorvo/net/stream.hpp"

#include <string_view>

#include "zorvo/common/text.hpp"
#include "zorvo/net/connect.hpp"
#include "zorvo/net/request_frame.hpp"
#include "zorvo/net/response_frame.hpp"
#include "zorvo/net/socket_client.hpp"
#include "zorvo/wire/tensor_packet.hpp"

namespace zorvo::net {

Result<std::optional<ResultData>, StreamError> StreamReader::next() {
    using Step = std::optional<ResultData>;
    if (finished_) return Step{};
    if (fork_generation() != generation_) [[unlikely]] {
        Connection inherited = std::move(connection_);
        return fail(StreamError{std::string(kStreamInheritedMessage)});
    }

    auto header = read_response_header(connection_);
    if (!header.ok()) return fail(StreamError{header.error().display()});
    if (header.value().length == 0) {
        finished_ = true;
        return Step{};
    }
    auto payload = read_payload(connection_, header.value().length, shelf_.lock());
    if (!payload.ok()) return fail(StreamError{payload.error().display()});

    switch (header.value().status) {
        case kStreamErrorStatus:
            return fail(StreamError{utf8_lossy(std::span<const std::uint8_t>(payload.value().bytes()))});
        case kStreamItemStatus: {
            auto packet = wire::decode_tensor_packet_view(payload.value().bytes());
            if (!packet.ok()) return fail(StreamError{std::move(packet).error().message});
            return Step{ResultData(std::move(payload).value(), std::move(packet).value())};
        }
        default:
            finished_ = true;  // the payload has been consumed and is dropped
            return Step{};
    }
}

Result<StreamReader, StreamOpenError> SocketClient::infer_stream(
    std::uint32_t model_id, const TensorArgs& tensor,
    std::span<const AdditionalInput> additional_inputs) const {
    auto named = named_tensors_from(additional_inputs);
    if (!named.ok()) return fail(StreamOpenError{std::move(named).error()});

    // A stream owns its connection for its whole life, so it never borrows an idle pooled one.
    auto connection = connect_stream(target_);
    if (!connection.ok()) return fail(StreamOpenError{ClientError::io(std::move(connection).error())});

    auto frame = encode_request_frame(
        {model_id, kStreamKind, tensor, named.value(), api_token_});
    if (!frame.ok()) return fail(StreamOpenError{std::move(frame).error()});

    if (auto sent = frame.value().write_to(connection.value()); !sent.ok()) {
        return fail(StreamOpenError{std::move(sent).error()});
    }
    if (auto flushed = connection.value().flush(); !flushed.ok()) {
        return fail(StreamOpenError{std::move(flushed).error()});
    }
    return StreamReader(std::move(connection).value(), shelf_);
}

}  // namespace zorvo::net
