#include "zorvo/net/socket_client.hpp"

#include <string_view>

#include "zorvo/net/connect.hpp"
#include "zorvo/net/request_frame.hpp"
#include "zorvo/net/response_frame.hpp"
#include "zorvo/net/socket_result.hpp"

namespace zorvo::net {
namespace {

using ResultBytes = Result<ResultData, ClientError>;

// One attempt on one connection. The frame is encoded by the first attempt and kept, so a retry
// sends exactly the same bytes without encoding again (a large tensor's data both times straight
// from the caller's bytes, which outlive the call).
class Exchange {
public:
    Exchange(const RequestFrameParts& parts, const std::shared_ptr<BufferShelf>& shelf)
        : parts_(parts), shelf_(shelf) {}

    ResultBytes run(Connection& connection) {
        if (!frame_) {
            auto encoded = encode_request_frame(parts_);
            if (!encoded.ok()) return fail(std::move(encoded).error());
            frame_.emplace(std::move(encoded).value());
        }
        if (auto sent = frame_->write_to(connection); !sent.ok()) {
            return fail(ClientError::io(std::move(sent).error()));
        }
        if (auto flushed = connection.flush(); !flushed.ok()) {
            return fail(ClientError::io(std::move(flushed).error()));
        }
        auto header = read_response_header(connection);
        if (!header.ok()) return fail(ClientError::io(std::move(header).error()));
        auto payload = read_payload(connection, header.value().length, shelf_);
        if (!payload.ok()) return fail(ClientError::io(std::move(payload).error()));

        return socket_result(header.value().status, std::move(payload).value());
    }

private:
    const RequestFrameParts& parts_;
    const std::shared_ptr<BufferShelf>& shelf_;
    std::optional<RequestFrame> frame_;
};

}  // namespace

SocketClient::SocketClient(ConnectionTarget target, std::optional<std::string> api_token,
                           std::uint64_t max_pool_size)
    : target_(std::move(target)),
      api_token_(std::move(api_token)),
      pool_(max_pool_size),
      shelf_(std::make_shared<BufferShelf>()) {}

ResultBytes SocketClient::infer(std::uint32_t model_id, const TensorArgs& tensor,
                                std::span<const AdditionalInput> additional_inputs) const {
    auto named = named_tensors_from(additional_inputs);
    if (!named.ok()) return fail(std::move(named).error());

    auto first = pool_.acquire(target_);
    if (!first.ok()) return fail(ClientError::io(std::move(first).error()));
    Connection taken = std::move(first).value();

    const RequestFrameParts parts{model_id, kInferKind, tensor, named.value(), api_token_};
    Exchange exchange(parts, shelf_);
    auto result = exchange.run(taken);
    // A wait the host abandoned is not retried; the connection, out of step, is closed.
    if (!result.ok() && result.error().is_abandoned_wait()) return result;
    if (result.ok() || !result.error().is_io()) {
        // Either the whole reply was read or nothing was sent: the connection is still in step.
        pool_.return_connection(std::move(taken));
        return result;
    }

    // A transport failure leaves the connection in an unknown state: it is closed once the single
    // retry on a fresh (never pooled) connection has finished.
    auto fresh = connect_stream(target_);
    if (!fresh.ok()) return fail(ClientError::io(std::move(fresh).error()));
    auto retried = exchange.run(fresh.value());
    if (retried.ok()) pool_.return_connection(std::move(fresh).value());
    return retried;
}

Result<Connection, SystemError> SocketClient::connect() const { return connect_stream(target_); }

}  // namespace zorvo::net
