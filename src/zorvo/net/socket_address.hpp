#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zorvo/common/result.hpp"
#include "zorvo/common/system_error.hpp"

namespace zorvo::net {

// A socket address ready for connect().
struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;

    int family() const noexcept { return storage.ss_family; }
};

// "a.b.c.d:port" or "[ipv6]:port" (optionally "[ipv6%scope]:port"); nothing else, no lookup.
std::optional<SocketAddress> parse_numeric_socket_address(std::string_view text);

struct HostAndPort {
    std::string host;
    std::uint16_t port;
};

// Splits "host:port" at the last colon; InvalidInput "invalid socket address" without a colon,
// "invalid port value" unless the port is a decimal number 0..65535.
Result<HostAndPort, SystemError> split_host_and_port(std::string_view text);

// Every address a TCP target text stands for, in the resolver's order: a numeric address as is,
// otherwise the system resolver's answer for the host with the port applied.
Result<std::vector<SocketAddress>, SystemError> resolve_tcp_address(std::string_view text);

// The socket address of a Unix path, checked against what sockaddr_un can hold.
Result<SocketAddress, SystemError> unix_socket_address(std::string_view path);

}  // namespace zorvo::net
