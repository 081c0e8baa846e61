#include "zorvo/net/connect.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

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

Result<Connection, SystemError> connect_to(const SocketAddress& address) {
    const int fd = ::socket(address.family(), SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail(SystemError::from_errno(errno));
    Connection connection(fd);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address.storage), address.length) < 0) {
        if (errno != EINTR) return fail(SystemError::from_errno(errno));
        if (auto finished = finish_interrupted_connect(fd); !finished.ok()) {
            return fail(std::move(finished).error());
        }
    }
    return connection;
}

Result<Connection, SystemError> connect_tcp(std::string_view text) {
    auto addresses = resolve_tcp_address(text);
    if (!addresses.ok()) return fail(std::move(addresses).error());
    if (addresses.value().empty()) {
        return fail(SystemError::custom(ErrorKind::InvalidInput, "could not resolve to any addresses"));
    }
    std::optional<SystemError> last_error;
    for (const SocketAddress& address : addresses.value()) {
        auto connected = connect_to(address);
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

Result<Connection, SystemError> connect_unix(std::string_view path) {
    auto address = unix_socket_address(path);
    if (!address.ok()) return fail(std::move(address).error());
    return connect_to(address.value());
}

}  // namespace

Result<Connection, SystemError> connect_stream(const ConnectionTarget& target) {
    if (target.kind == ConnectionTarget::Kind::Tcp) return connect_tcp(target.address);
    return connect_unix(target.address);
}

}  // namespace zorvo::net
