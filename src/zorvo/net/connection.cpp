#include "zorvo/net/connection.hpp"

#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <optional>
#include <utility>

namespace zorvo::net {
namespace {

SystemError write_zero() {
    return SystemError::custom(ErrorKind::WriteZero, "failed to write whole buffer");
}

SystemError wait_abandoned() { return SystemError::custom(ErrorKind::Interrupted, kWaitAbandoned); }

// Pieces handed to one send; a frame has at most three.
constexpr std::size_t kGatherBatch = 8;

// What a failed send or receive means: go on (interrupted, or a timeout the host wants waited out)
// or fail with this error.
std::optional<SystemError> unmoved(bool (*keep_waiting)()) {
    if (errno == EINTR) return std::nullopt;
    if ((errno == EAGAIN || errno == EWOULDBLOCK) && keep_waiting != nullptr) {
        if (keep_waiting()) return std::nullopt;
        return wait_abandoned();
    }
    return SystemError::from_errno(errno);
}

}  // namespace

Result<Unit, SystemError> Connection::read_exact(std::span<std::uint8_t> buffer) {
    while (!buffer.empty()) {
        const ssize_t received = ::recv(fd_.get(), buffer.data(), buffer.size(), 0);
        if (received < 0) {
            if (auto error = unmoved(keep_waiting_)) return fail(std::move(*error));
            continue;
        }
        if (received == 0) {
            return fail(SystemError::custom(ErrorKind::UnexpectedEof, "failed to fill whole buffer"));
        }
        buffer = buffer.subspan(static_cast<std::size_t>(received));
    }
    return Unit{};
}

Result<Unit, SystemError> Connection::write_all(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0) {
            if (auto error = unmoved(keep_waiting_)) return fail(std::move(*error));
            continue;
        }
        if (sent == 0) return fail(write_zero());
        bytes = bytes.subspan(static_cast<std::size_t>(sent));
    }
    return Unit{};
}

ssize_t Connection::send_some(std::span<const std::span<const std::uint8_t>> pieces, std::size_t sent) noexcept {
    std::array<iovec, kGatherBatch> batch{};
    std::size_t count = 0;
    for (const std::span<const std::uint8_t> piece : pieces) {
        if (sent >= piece.size()) {
            sent -= piece.size();  // wholly sent already, or empty
            continue;
        }
        batch[count++] = iovec{const_cast<std::uint8_t*>(piece.data() + sent), piece.size() - sent};
        sent = 0;
        if (count == batch.size()) break;
    }
    msghdr message{};
    message.msg_iov = batch.data();
    message.msg_iovlen = count;
    ssize_t done;
    do {
        done = ::sendmsg(fd_.get(), &message, MSG_NOSIGNAL);
    } while (done < 0 && errno == EINTR);
    return done;
}

Result<Unit, SystemError> Connection::write_all_gathered(std::span<const std::span<const std::uint8_t>> pieces) {
    std::size_t total = 0;
    for (const std::span<const std::uint8_t> piece : pieces) total += piece.size();
    for (std::size_t sent = 0; sent < total;) {
        const ssize_t done = send_some(pieces, sent);
        if (done < 0) {
            if (auto error = unmoved(keep_waiting_)) return fail(std::move(*error));
            continue;
        }
        if (done == 0) return fail(write_zero());
        sent += static_cast<std::size_t>(done);
    }
    return Unit{};
}

}  // namespace zorvo::net
