#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "zorvo/common/byte_buffer.hpp"
#include "zorvo/net/buffer_shelf.hpp"
#include "zorvo/common/result.hpp"
#include "zorvo/common/system_error.hpp"
#include "zorvo/net/connection.hpp"
#include "zorvo/net/request_frame.hpp"
#include "zorvo/net/response_frame.hpp"

namespace zorvo::net {

// A response frame as it arrived: the status word and the payload.
struct ReceivedFrame {
    std::uint32_t status = 0;
    ShelvedBuffer payload;
};

// One request frame and its response frame on a non-blocking connection, advanced whenever the
// socket may have become writable or readable; never waits. The same bytes and the same errors
// as the blocking reads and writes, so that a caller driving many of these from an event loop
// sees exactly what a blocking call would.
class NonBlockingExchange {
public:
    enum class Progress {
        WantWrite,  // call advance() again once the socket is writable
        WantRead,   // ... once it is readable
        Finished,   // outcome() holds the result or the error
    };

    // A large payload is received into a spare buffer of `shelf` (which may be null) when it has
    // one, and goes back to it when the payload is dropped.
    NonBlockingExchange(RequestFrame frame, std::shared_ptr<BufferShelf> shelf) noexcept
        : frame_(std::move(frame)), shelf_(std::move(shelf)) {}

    // Starts over on `connection` (made non-blocking here): the whole frame is sent again.
    Progress begin(Connection connection);
    Progress advance();

    // After Finished: the response, or the transport error (which leaves the connection out of step).
    Result<ReceivedFrame, SystemError>& outcome() noexcept { return *outcome_; }
    // The connection, once Finished; in step with the engine unless the outcome is an error.
    Connection take_connection() noexcept { return std::move(*connection_); }
    // The peer sent bytes past the end of the answer: whatever follows cannot be matched to a
    // request, so the connection must not be used again.
    bool overran() const noexcept { return overran_; }
    int fd() const noexcept { return connection_->native_handle(); }

private:
    Progress finish(Result<ReceivedFrame, SystemError> outcome);
    Progress fail_io(SystemError error) { return finish(fail(std::move(error))); }
    // Reads into [buffer + filled, buffer + size); false on EOF or an error (then Finished).
    enum class Read { Complete, Partial, Failed };
    // Reads at least `needed` bytes into [buffer + filled, buffer + size), more if they are there.
    Read read_into(std::uint8_t* buffer, std::size_t needed, std::size_t size, std::size_t& filled);
    Progress read_response();

    RequestFrame frame_;
    std::shared_ptr<BufferShelf> shelf_;
    std::optional<Connection> connection_;
    std::size_t sent_ = 0;
    // The header and, for a small answer, the whole payload arrive with one receive into here.
    static constexpr std::size_t kFirstReceive = 4096;
    std::array<std::uint8_t, kFirstReceive> first_{};
    std::size_t header_filled_ = 0;
    std::optional<ResponseHeader> response_;
    ShelvedBuffer payload_;
    std::size_t payload_filled_ = 0;
    bool overran_ = false;
    std::optional<Result<ReceivedFrame, SystemError>> outcome_;
};

}  // namespace zorvo::net
