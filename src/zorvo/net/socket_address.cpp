#include "zorvo/net/socket_address.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/un.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>

namespace zorvo::net {
namespace {

// Decimal digits only, at least one, value within 0..limit.
std::optional<std::uint64_t> parse_decimal(std::string_view text, std::uint64_t limit) {
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > limit) return std::nullopt;
    }
    return value;
}

std::optional<std::uint16_t> parse_port(std::string_view text) {
    auto value = parse_decimal(text, 65535);
    if (!value) return std::nullopt;
    return static_cast<std::uint16_t>(*value);
}

std::optional<SocketAddress> parse_ipv4(std::string_view text) {
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    const std::string host(text.substr(0, colon));
    const auto port = parse_port(text.substr(colon + 1));
    if (!port) return std::nullopt;
    SocketAddress address;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address.storage);
    if (::inet_pton(AF_INET, host.c_str(), &v4->sin_addr) != 1) return std::nullopt;
    v4->sin_family = AF_INET;
    v4->sin_port = htons(*port);
    address.length = sizeof(sockaddr_in);
    return address;
}

std::optional<SocketAddress> parse_ipv6(std::string_view text) {
    if (text.empty() || text.front() != '[') return std::nullopt;
    const auto close = text.find("]:");
    if (close == std::string_view::npos) return std::nullopt;
    std::string_view inner = text.substr(1, close - 1);
    const auto port = parse_port(text.substr(close + 2));
    if (!port) return std::nullopt;
    std::uint32_t scope_id = 0;
    if (const auto percent = inner.find('%'); percent != std::string_view::npos) {
        const auto scope = parse_decimal(inner.substr(percent + 1), UINT32_MAX);
        if (!scope) return std::nullopt;
        scope_id = static_cast<std::uint32_t>(*scope);
        inner = inner.substr(0, percent);
    }
    const std::string host(inner);
    SocketAddress address;
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address.storage);
    if (::inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) != 1) return std::nullopt;
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(*port);
    v6->sin6_scope_id = scope_id;
    address.length = sizeof(sockaddr_in6);
    return address;
}

SystemError invalid_input(const char* message) {
    return SystemError::custom(ErrorKind::InvalidInput, message);
}

struct AddrInfoDeleter {
    void operator()(addrinfo* list) const noexcept { ::freeaddrinfo(list); }
};

}  // namespace

std::optional<SocketAddress> parse_numeric_socket_address(std::string_view text) {
    if (auto v4 = parse_ipv4(text)) return v4;
    return parse_ipv6(text);
}

Result<HostAndPort, SystemError> split_host_and_port(std::string_view text) {
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos) return fail(invalid_input("invalid socket address"));
    const auto port = parse_port(text.substr(colon + 1));
    if (!port) return fail(invalid_input("invalid port value"));
    return HostAndPort{std::string(text.substr(0, colon)), *port};
}

Result<std::vector<SocketAddress>, SystemError> resolve_tcp_address(std::string_view text) {
    if (auto numeric = parse_numeric_socket_address(text)) return std::vector<SocketAddress>{*numeric};

    auto split = split_host_and_port(text);
    if (!split.ok()) return fail(std::move(split).error());
    const HostAndPort& target = split.value();
    if (target.host.find('\0') != std::string::npos) {
        return fail(invalid_input("file name contained an unexpected NUL byte"));
    }

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* raw = nullptr;
    const int status = ::getaddrinfo(target.host.c_str(), nullptr, &hints, &raw);
    std::unique_ptr<addrinfo, AddrInfoDeleter> list(raw);
    if (status != 0) {
        if (status == EAI_SYSTEM && errno != 0) return fail(SystemError::from_errno(errno));
        return fail(SystemError::custom(
            ErrorKind::Other,
            std::string("failed to lookup address information: ") + ::gai_strerror(status)));
    }

    std::vector<SocketAddress> addresses;
    for (const addrinfo* entry = list.get(); entry != nullptr; entry = entry->ai_next) {
        SocketAddress address;
        if (entry->ai_family == AF_INET && entry->ai_addrlen >= sizeof(sockaddr_in)) {
            std::memcpy(&address.storage, entry->ai_addr, sizeof(sockaddr_in));
            reinterpret_cast<sockaddr_in*>(&address.storage)->sin_port = htons(target.port);
            address.length = sizeof(sockaddr_in);
        } else if (entry->ai_family == AF_INET6 && entry->ai_addrlen >= sizeof(sockaddr_in6)) {
            std::memcpy(&address.storage, entry->ai_addr, sizeof(sockaddr_in6));
            reinterpret_cast<sockaddr_in6*>(&address.storage)->sin6_port = htons(target.port);
            address.length = sizeof(sockaddr_in6);
        } else {
            continue;
        }
        addresses.push_back(address);
    }
    return addresses;
}

Result<SocketAddress, SystemError> unix_socket_address(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) {
        return fail(invalid_input("paths must not contain interior null bytes"));
    }
    SocketAddress address;
    auto* un = reinterpret_cast<sockaddr_un*>(&address.storage);
    if (path.size() >= sizeof(un->sun_path)) {
        return fail(invalid_input("path must be shorter than SUN_LEN"));
    }
    un->sun_family = AF_UNIX;
    std::memcpy(un->sun_path, path.data(), path.size());
    // The terminating NUL counts in the length for a named path.
    address.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() +
                                            (path.empty() ? 0 : 1));
    return address;
}

}  // namespace zorvo::net
