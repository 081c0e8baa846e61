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

Result<Unit, SystemError> Connection::write_all_gathered(std::span<const std::span<const std::uint8_t>> pieces) {
    std::array<iovec, kGatherBatch> batch{};
    std::size_t next = 0;         // the first piece not wholly sent
    std::size_t next_offset = 0;  // how much of it has been sent
    while (true) {
        // Skips empty pieces, so that a send is made only while bytes remain.
        while (next < pieces.size() && next_offset == pieces[next].size()) {
            ++next;
            next_offset = 0;
        }
        if (next == pieces.size()) return Unit{};
        std::size_t count = 0;
        for (std::size_t i = next; i < pieces.size() && count < batch.size(); ++i) {
            const std::span<const std::uint8_t> rest = pieces[i].subspan(i == next ? next_offset : 0);
            if (rest.empty()) continue;
            batch[count++] = iovec{const_cast<std::uint8_t*>(rest.data()), rest.size()};
        }
        msghdr message{};
        message.msg_iov = batch.data();
        message.msg_iovlen = count;
        const ssize_t sent = ::sendmsg(fd_.get(), &message, MSG_NOSIGNAL);
        if (sent < 0) {
            if (auto error = unmoved(keep_waiting_)) return fail(std::move(*error));
            continue;
        }
        if (sent == 0) return fail(write_zero());
        auto left = static_cast<std::size_t>(sent);
        while (left > 0) {
            const std::size_t in_piece = std::min(left, pieces[next].size() - next_offset);
            next_offset += in_piece;
            left -= in_piece;
            if (next_offset == pieces[next].size()) {
                ++next;
                next_offset = 0;
            }
        }
    }
}

}  // namespace zorvo::net
