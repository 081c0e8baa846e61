#include "zorvo/net/connect.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>

#include "zorvo/net/socket_address.hpp"

namespace zorvo::net {
namespace {

// An interrupted connect keeps going in the kernel; wait for it instead of issuing a second one.
Result<Unit, SystemError> finish_interrupted_connect(int fd) {
    pollfd waiting{fd, POLLOUT, 0};
    while (::poll(&waiting, 1, -1) < 0) {
        if (errno != EINTR) return fail(SystemError::from_errno(errno));
    }
    int pending = 0;
    socklen_t length = sizeof pending;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length) < 0) {
        return fail(SystemError::from_errno(errno));
    }
    if (pending != 0) return fail(SystemError::from_errno(pending));
    return Unit{};
}

// Set once connected: a send timeout would also bound connect() itself.
Result<Unit, SystemError> apply_wait_slice(int fd, const WaitCheck& wait) {
    if (wait.slice.count() <= 0 || wait.keep_waiting == nullptr) return Unit{};
    const timeval slice{static_cast<time_t>(wait.slice.count() / 1000),
                        static_cast<suseconds_t>(wait.slice.count() % 1000 * 1000)};
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof slice) < 0 ||
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &slice, sizeof slice) < 0) {
        return fail(SystemError::from_errno(errno));
    }
    return Unit{};
}

Result<Connection, SystemError> connect_to(const SocketAddress& address, const WaitCheck& wait) {
    const int fd = ::socket(address.family(), SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail(SystemError::from_errno(errno));
    Connection connection(fd, wait.keep_waiting);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address.storage), address.length) < 0) {
        if (errno != EINTR) return fail(SystemError::from_errno(errno));
        if (auto finished = finish_interrupted_connect(fd); !finished.ok()) {
            return fail(std::move(finished).error());
        }
    }
    if (auto applied = apply_wait_slice(fd, wait); !applied.ok()) return fail(std::move(applied).error());
    return connection;
}

Result<Connection, SystemError> connect_tcp(std::string_view text, const WaitCheck& wait) {
    auto addresses = resolve_tcp_address(text);
    if (!addresses.ok()) return fail(std::move(addresses).error());
    if (addresses.value().empty()) {
        return fail(SystemError::custom(ErrorKind::InvalidInput, "could not resolve to any addresses"));
    }
    std::optional<SystemError> last_error;
    for (const SocketAddress& address : addresses.value()) {
        auto connected = connect_to(address, wait);
        if (connected.ok()) {
            const int enabled = 1;
            // Requests are small frames; without this they wait for delayed acknowledgements.
            // A refusal is harmless, the connection works either way.
            (void)::setsockopt(connected.value().native_handle(), IPPROTO_TCP, TCP_NODELAY,
                               &enabled, sizeof enabled);
            return connected;
        }
        last_error = std::move(connected).error();
    }
    return fail(std::move(*last_error));
}

Result<Connection, SystemError> connect_unix(std::string_view path, const WaitCheck& wait) {
    auto address = unix_socket_address(path);
    if (!address.ok()) return fail(std::move(address).error());
    return connect_to(address.value(), wait);
}

}  // namespace

Result<Connection, SystemError> connect_stream(const ConnectionTarget& target) {
    if (target.kind == ConnectionTarget::Kind::Tcp) return connect_tcp(target.address, target.wait);
    return connect_unix(target.address, target.wait);
}

}  // namespace zorvo::net
