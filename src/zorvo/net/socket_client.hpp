#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "zorvo/common/result.hpp"
#include "zorvo/net/buffer_shelf.hpp"
#include "zorvo/net/client_error.hpp"
#include "zorvo/net/connection_target.hpp"
#include "zorvo/net/pool.hpp"
#include "zorvo/net/request_frame.hpp"
#include "zorvo/net/result_data.hpp"
#include "zorvo/net/stream.hpp"
#include "zorvo/net/tensor_args.hpp"

namespace zorvo::net {

// The socket client core: one engine endpoint, an optional API token and a pool of idle
// connections. Calls may overlap; only the pool and the shelf of spare reply buffers are shared
// between them, and each locks itself.
class SocketClient {
public:
    SocketClient(ConnectionTarget target, std::optional<std::string> api_token,
                 std::uint64_t max_pool_size);

    const ConnectionTarget& target() const noexcept { return target_; }
    const std::optional<std::string>& api_token() const noexcept { return api_token_; }
    std::uint64_t max_pool_size() const noexcept { return pool_.max_pool_size(); }
    std::size_t idle_connections() const { return pool_.idle_count(); }

    // One inference on a pooled connection, retried once on a fresh connection after a transport
    // failure. Returns the result tensor's data bytes.
    Result<ResultData, ClientError> infer(
        std::uint32_t model_id, const TensorArgs& tensor,
        std::span<const AdditionalInput> additional_inputs) const;

    // Sends a streamed inference on a connection of its own and hands that connection to the
    // returned reader. Nothing is read yet.
    Result<StreamReader, StreamOpenError> infer_stream(
        std::uint32_t model_id, const TensorArgs& tensor,
        std::span<const AdditionalInput> additional_inputs) const;

    // The parts of `infer` for a caller that runs the exchange itself (without blocking): an idle
    // pooled connection if any, a new connection, and giving back a connection that is in step
    // with the engine. The frame comes from encode_request_frame.
    std::optional<Connection> take_idle_connection() const { return pool_.take_idle(); }
    Result<Connection, SystemError> connect() const;
    void keep_connection(Connection connection) const { pool_.return_connection(std::move(connection)); }
    // For a caller that gives connections back in bursts and asks again right after (an event
    // loop): the pool may hold more than max_pool_size until trim_pool().
    bool hold_connection(Connection connection) const { return pool_.hold_connection(std::move(connection)); }
    void trim_pool() const { pool_.trim(); }
    const std::shared_ptr<BufferShelf>& shelf() const noexcept { return shelf_; }

private:
    ConnectionTarget target_;
    std::optional<std::string> api_token_;
    mutable ConnectionPool pool_;
    // Spare buffers for large replies; results hold it weakly, so it goes with the client.
    std::shared_ptr<BufferShelf> shelf_;
};

}  // namespace zorvo::net
