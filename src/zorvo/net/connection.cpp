#include "zorvo/net/connection.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace zorvo::net {
namespace {

SystemError write_zero() {
    return SystemError::custom(ErrorKind::WriteZero, "failed to write whole buffer");
}

SystemError wait_abandoned() { return SystemError::custom(ErrorKind::Interrupted, kWaitAbandoned); }

}  // namespace

Result<Unit, SystemError> Connection::read_exact(std::span<std::uint8_t> buffer) {
    while (!buffer.empty()) {
        const ssize_t received = ::recv(fd_.get(), buffer.data(), buffer.size(), 0);
        if (received < 0) {
            if (errno == EINTR) continue;
            if ((errno == EAGAIN || errno == EWOULDBLOCK) && keep_waiting_ != nullptr) {
                if (keep_waiting_()) continue;
                return fail(wait_abandoned());
            }
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
            if ((errno == EAGAIN || errno == EWOULDBLOCK) && keep_waiting_ != nullptr) {
                if (keep_waiting_()) continue;
                return fail(wait_abandoned());
            }
            return fail(SystemError::from_errno(errno));
        }
        if (sent == 0) return fail(write_zero());
        bytes = bytes.subspan(static_cast<std::size_t>(sent));
    }
    return Unit{};
}

}  // namespace zorvo::net
