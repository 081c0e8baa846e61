#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "zorvo/common/fork_generation.hpp"
#include "zorvo/common/result.hpp"
#include "zorvo/common/system_error.hpp"
#include "zorvo/net/buffer_shelf.hpp"
#include "zorvo/net/client_error.hpp"
#include "zorvo/net/connection.hpp"
#include "zorvo/net/result_data.hpp"

namespace zorvo::net {

// Stream frame statuses; any other status, or a zero length, ends the stream.
inline constexpr std::uint32_t kStreamErrorStatus = 1;
inline constexpr std::uint32_t kStreamItemStatus = 2;

// Why opening a stream failed. Failures before the request is written are client errors; a
// failed request write keeps its system error so it surfaces by its own kind.
struct StreamOpenError {
    std::variant<ClientError, SystemError> error;
};

// A failed step: a transport failure, an error frame from the engine or an undecodable item.
// The reader stays usable; the next step reads the next frame.
struct StreamError {
    std::string message;
};

// The step error of a reader used in a process forked after the stream was opened.
inline constexpr std::string_view kStreamInheritedMessage =
    "stream was started in the parent process; start a new stream after fork";

// Reads one result after another from the connection a streamed request was sent on. It owns that
// connection alone and does not depend on the client that opened it.
//
// The stream belongs to the process that opened it. In a forked child every further step fails
// with kStreamInheritedMessage; the first such step closes the child's copy of the descriptor
// (without a shutdown, so the parent's stream goes on).
class StreamReader {
public:
    // Large items are received into spare buffers of `shelf`, and go back to it, while it lives.
    explicit StreamReader(Connection connection, std::weak_ptr<BufferShelf> shelf = {}) noexcept
        : connection_(std::move(connection)), shelf_(std::move(shelf)), generation_(fork_generation()) {}

    // The next item's data bytes, or nothing once the stream has ended. Nothing is read after the
    // end has been seen.
    Result<std::optional<ResultData>, StreamError> next();

    bool finished() const noexcept { return finished_; }

private:
    Connection connection_;
    std::weak_ptr<BufferShelf> shelf_;
    std::uint64_t generation_;
    bool finished_ = false;
};

}  // namespace zorvo::net
