#include "zorvo/net/connection.hpp"

#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

namespace zorvo::net {
namespace {

SystemError write_zero() {
    return SystemError::custom(ErrorKind::WriteZero, "failed to write whole buffer");
}

// The kernel accepts at most IOV_MAX segments per call; longer lists go out in batches.
constexpr std::size_t kMaxSegments = 1024;

}  // namespace

Result<Unit, SystemError> Connection::read_exact(std::span<std::uint8_t> buffer) {
    while (!buffer.empty()) {
        const ssize_t received = ::recv(fd_.get(), buffer.data(), buffer.size(), 0);
        if (received < 0) {
            if (errno == EINTR) continue;
            return fail(SystemError::from_errno(errno));
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
            if (errno == EINTR) continue;
            return fail(SystemError::from_errno(errno));
        }
        if (sent == 0) return fail(write_zero());
        bytes = bytes.subspan(static_cast<std::size_t>(sent));
    }
    return Unit{};
}

Result<Unit, SystemError> Connection::write_gathered(
    std::span<const std::span<const std::uint8_t>> parts) {
    std::vector<iovec> segments;
    segments.reserve(std::min(parts.size(), kMaxSegments));
    for (const auto& part : parts) {
        if (part.empty()) continue;
        segments.push_back({const_cast<std::uint8_t*>(part.data()), part.size()});
    }
    std::size_t first = 0;  // the first segment with unsent bytes; it is trimmed in place
    while (first < segments.size()) {
        msghdr message{};
        message.msg_iov = segments.data() + first;
        message.msg_iovlen = std::min(segments.size() - first, kMaxSegments);
        const ssize_t sent = ::sendmsg(fd_.get(), &message, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            return fail(SystemError::from_errno(errno));
        }
        if (sent == 0) return fail(write_zero());
        auto remaining = static_cast<std::size_t>(sent);
        while (remaining > 0 && remaining >= segments[first].iov_len) {
            remaining -= segments[first].iov_len;
            ++first;
        }
        if (remaining > 0) {
            segments[first].iov_base = static_cast<std::uint8_t*>(segments[first].iov_base) + remaining;
            segments[first].iov_len -= remaining;
        }
    }
    return Unit{};
}

}  // namespace zorvo::net
