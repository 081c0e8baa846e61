#include "listeners.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <memory>
#include <charconv>
#include <cstring>
#include <utility>

#include "zorvo/common/system_error.hpp"

namespace zorvo::engine {

namespace {

constexpr int kBacklog = 128;

std::string os_text(int code) { return SystemError::from_errno(code).display(); }

std::string numeric_host_port(const sockaddr* address, socklen_t length) {
    char host[NI_MAXHOST];
    char port[NI_MAXSERV];
    if (::getnameinfo(address, length, host, sizeof host, port, sizeof port, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return "?";
    std::string text;
    const bool v6 = address->sa_family == AF_INET6;
    if (v6) text.push_back('[');
    text.append(host);
    if (v6) text.push_back(']');
    text.push_back(':');
    text.append(port);
    return text;
}

struct UnixAddress {
    sockaddr_un address{};
    socklen_t length = 0;
    bool abstract = false;
};

Result<UnixAddress, std::string> unix_address(std::string_view path) {
    UnixAddress result;
    result.address.sun_family = AF_UNIX;
    const bool abstract = path.starts_with('@');
    const std::string_view name = abstract ? path.substr(1) : path;
    if (name.find('\0') != std::string_view::npos) return fail(std::string("socket path contains a NUL byte"));
    // File-system paths need their terminating NUL; abstract names start with one instead.
    if (name.size() + 1 > sizeof(result.address.sun_path))
        return fail("socket path '" + std::string(path) + "' is too long");
    const std::size_t start = abstract ? 1 : 0;
    std::memcpy(result.address.sun_path + start, name.data(), name.size());
    result.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + start + name.size() + (abstract ? 0 : 1));
    result.abstract = abstract;
    return result;
}

// A socket file left behind by an engine that died: nothing accepts on it any more.
bool is_stale_socket_file(const UnixAddress& target) {
    struct stat info {};
    if (::stat(target.address.sun_path, &info) != 0 || !S_ISSOCK(info.st_mode)) return false;
    UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!probe.valid()) return false;
    return ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&target.address), target.length) != 0 &&
           errno == ECONNREFUSED;
}

}  // namespace

ListeningSocket::~ListeningSocket() {
    if (socket_file_.empty()) return;
    // Only remove the file we bound; a later engine may have taken the path over.
    struct stat info {};
    if (::stat(socket_file_.c_str(), &info) == 0 && info.st_dev == device_ && info.st_ino == inode_)
        ::unlink(socket_file_.c_str());
}

ListeningSocket::ListeningSocket(ListeningSocket&& other) noexcept
    : fd_(std::move(other.fd_)), ready_line_(std::move(other.ready_line_)), is_tcp_(other.is_tcp_),
      socket_file_(std::exchange(other.socket_file_, std::string())), device_(other.device_), inode_(other.inode_) {}

Result<ListeningSocket, std::string> listen_tcp(std::string_view host_port) {
    const auto colon = host_port.rfind(':');
    if (colon == std::string_view::npos) return fail("TCP address '" + std::string(host_port) + "' needs HOST:PORT");
    std::string_view host = host_port.substr(0, colon);
    const std::string_view port_text = host_port.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    unsigned port = 0;
    const auto [end, error] = std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
    if (port_text.empty() || error != std::errc() || end != port_text.data() + port_text.size() || port > 65535)
        return fail("TCP port '" + std::string(port_text) + "' is not a number from 0 to 65535");

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string host_text(host);
    const std::string service = std::to_string(port);
    const int status = ::getaddrinfo(host_text.empty() ? nullptr : host_text.c_str(), service.c_str(), &hints, &found);
    if (status != 0) return fail("cannot resolve '" + host_text + "': " + ::gai_strerror(status));
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, &::freeaddrinfo);

    int last_error = EADDRNOTAVAIL;
    for (const addrinfo* entry = addresses.get(); entry != nullptr; entry = entry->ai_next) {
        UniqueFd fd(::socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC, entry->ai_protocol));
        if (!fd.valid()) { last_error = errno; continue; }
        const int on = 1;
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(fd.get(), entry->ai_addr, entry->ai_addrlen) != 0 || ::listen(fd.get(), kBacklog) != 0) {
            last_error = errno;
            continue;
        }
        sockaddr_storage bound{};
        socklen_t bound_length = sizeof bound;
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &bound_length);
        std::string line = "tcp " + numeric_host_port(reinterpret_cast<const sockaddr*>(&bound), bound_length);
        return ListeningSocket(std::move(fd), std::move(line), true, std::string(), 0, 0);
    }
    return fail("cannot listen on " + std::string(host_port) + ": " + os_text(last_error));
}

Result<ListeningSocket, std::string> listen_unix(std::string_view path, std::string_view label) {
    auto target = unix_address(path);
    if (!target.ok()) return fail(std::move(target.error()));
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return fail("cannot create a Unix socket: " + os_text(errno));
    const auto* address = reinterpret_cast<const sockaddr*>(&target->address);
    if (::bind(fd.get(), address, target->length) != 0) {
        const int code = errno;
        if (code != EADDRINUSE || target->abstract || !is_stale_socket_file(*target))
            return fail("cannot bind " + std::string(path) + ": " + os_text(code));
        ::unlink(target->address.sun_path);
        if (::bind(fd.get(), address, target->length) != 0)
            return fail("cannot bind " + std::string(path) + ": " + os_text(errno));
    }
    if (::listen(fd.get(), kBacklog) != 0) {
        const int code = errno;
        if (!target->abstract) ::unlink(target->address.sun_path);
        return fail("cannot listen on " + std::string(path) + ": " + os_text(code));
    }
    std::string line = std::string(label) + " " + std::string(path);
    if (target->abstract) return ListeningSocket(std::move(fd), std::move(line), false, std::string(), 0, 0);
    struct stat info {};
    ::stat(target->address.sun_path, &info);
    return ListeningSocket(std::move(fd), std::move(line), false, std::string(target->address.sun_path),
                           info.st_dev, info.st_ino);
}

}  // namespace zorvo::engine
