#pragma once

#include <sys/types.h>

#include <cstdint>
#include <span>

#include "zorvo/common/result.hpp"
#include "zorvo/common/system_error.hpp"
#include "zorvo/common/unique_fd.hpp"

namespace zorvo::net {

// The error of a send or receive whose WaitCheck said not to wait any longer.
inline constexpr const char* kWaitAbandoned = "wait abandoned";

// One connected, blocking stream socket (TCP or Unix); closing it is tied to the object's life.
// Exactly one owner at a time: the pool, a running call, or a stream reader.
class Connection {
public:
    // Takes ownership of `fd`, which is closed when the connection is destroyed. `keep_waiting`
    // is asked when a send or receive times out (see WaitCheck; only a socket given a timeout
    // does), and none means a timeout cannot happen.
    explicit Connection(int fd, bool (*keep_waiting)() = nullptr) noexcept : fd_(fd), keep_waiting_(keep_waiting) {}

    int native_handle() const noexcept { return fd_.get(); }

    // Fills the whole buffer; a peer that closes first yields UnexpectedEof
    // "failed to fill whole buffer".
    Result<Unit, SystemError> read_exact(std::span<std::uint8_t> buffer);

    // Sends every byte; never raises SIGPIPE (a closed peer is a BrokenPipe error).
    Result<Unit, SystemError> write_all(std::span<const std::uint8_t> bytes);

    // Sends every byte of the pieces, in order, as one stream: each send gathers as many of the
    // remaining pieces as one call takes, so large bytes go out from where they are, uncopied.
    // Partial sends, interruptions and timeouts are handled as write_all handles them.
    Result<Unit, SystemError> write_all_gathered(std::span<const std::span<const std::uint8_t>> pieces);
    // One send of what is left of `pieces` after their first `sent` bytes (an interrupted send is
    // made again): the bytes it took, or -1 with errno set, EAGAIN when the socket is full.
    ssize_t send_some(std::span<const std::span<const std::uint8_t>> pieces, std::size_t sent) noexcept;

    // Bytes are handed to the kernel by the writes themselves, so there is nothing to flush.
    Result<Unit, SystemError> flush() noexcept { return Unit{}; }

private:
    UniqueFd fd_;
    bool (*keep_waiting_)() = nullptr;  // asked after a timed-out send or receive: go on?
};

}  // namespace zorvo::net
