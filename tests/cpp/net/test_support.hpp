#pragma once

// Small in-process servers for the socket tests: a listening Unix or TCP socket whose accepted
// connections are served by a scripted handler on a thread of the test.

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "zorvo/net/connection.hpp"
#include "zorvo/net/connection_target.hpp"

namespace zorvo::net::testing {

inline std::string unique_socket_path() {
    static std::atomic<int> counter{0};
    return "/tmp/zorvo-net-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".sock";
}

// A listening socket; `target()` is what a client connects to.
class Listener {
public:
    static Listener unix_socket() {
        Listener listener;
        listener.path_ = unique_socket_path();
        ::unlink(listener.path_.c_str());
        listener.fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, listener.path_.c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(::bind(listener.fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(listener.fd_, 16), 0);
        return listener;
    }

    static Listener tcp_loopback() {
        Listener listener;
        listener.fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(listener.fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(listener.fd_, 16), 0);
        socklen_t length = sizeof address;
        ::getsockname(listener.fd_, reinterpret_cast<sockaddr*>(&address), &length);
        listener.port_ = ntohs(address.sin_port);
        return listener;
    }

    Listener(Listener&& other) noexcept
        : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)), port_(other.port_) {
        other.path_.clear();
    }
    Listener& operator=(Listener&&) = delete;
    ~Listener() { close(); }

    void close() {
        if (fd_ >= 0) ::close(std::exchange(fd_, -1));
        if (!path_.empty()) ::unlink(path_.c_str());
    }

    ConnectionTarget target() const {
        if (!path_.empty()) return ConnectionTarget::unix_socket(path_);
        return ConnectionTarget::tcp("127.0.0.1:" + std::to_string(port_));
    }
    std::uint16_t port() const { return port_; }
    const std::string& path() const { return path_; }

    // Waits at most a few seconds, so a test whose client never connects fails instead of hanging;
    // accepted connections time out their reads the same way.
    Connection accept() const {
        pollfd waiting{fd_, POLLIN, 0};
        if (::poll(&waiting, 1, 5000) != 1) {
            ADD_FAILURE() << "no client connected";
            return Connection(-1);
        }
        const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        timeval limit{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        return Connection(fd);
    }

private:
    Listener() = default;
    int fd_ = -1;
    std::string path_;
    std::uint16_t port_ = 0;
};

// Serves a fixed number of connections, one after another, each with its own handler, on a
// thread; joined on destruction.
class ScriptedServer {
public:
    using Handler = std::function<void(Connection&)>;

    ScriptedServer(const Listener& listener, std::vector<Handler> handlers)
        : thread_([&listener, handlers = std::move(handlers)] {
              for (const Handler& handler : handlers) {
                  Connection connection = listener.accept();
                  if (connection.native_handle() < 0) return;
                  handler(connection);
              }
          }) {}
    ~ScriptedServer() { join(); }

    void join() {
        if (thread_.joinable()) thread_.join();
    }

private:
    std::thread thread_;
};

inline void put_u32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

inline void put_u64(std::vector<std::uint8_t>& out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

inline std::uint32_t get_u32(const std::uint8_t* in) {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= std::uint32_t{in[i]} << (8 * i);
    return value;
}

// An 8-byte response header followed by the payload.
inline std::vector<std::uint8_t> response_frame(std::uint32_t status, std::vector<std::uint8_t> payload) {
    std::vector<std::uint8_t> frame;
    put_u32(frame, status);
    put_u32(frame, static_cast<std::uint32_t>(payload.size()));
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

inline std::vector<std::uint8_t> text_bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

// An encoded tensor result with the bytes given directly.
inline std::vector<std::uint8_t> tensor_payload(std::vector<std::uint8_t> data, std::string_view dtype = "uint8") {
    std::vector<std::uint8_t> out;
    put_u64(out, 1);
    put_u64(out, data.size());
    put_u64(out, dtype.size());
    out.insert(out.end(), dtype.begin(), dtype.end());
    out.push_back(1);
    put_u64(out, data.size());
    out.insert(out.end(), data.begin(), data.end());
    out.push_back(0);
    return out;
}

struct ReceivedRequest {
    std::array<std::uint8_t, 12> header{};
    std::vector<std::uint8_t> payload;
    bool complete = false;
};

// Reads one request frame; `complete` is false if the peer closed first.
inline ReceivedRequest read_request(Connection& connection) {
    ReceivedRequest request;
    if (!connection.read_exact(request.header).ok()) return request;
    request.payload.resize(get_u32(request.header.data() + 8));
    request.complete = connection.read_exact(request.payload).ok();
    return request;
}

inline void send(Connection& connection, const std::vector<std::uint8_t>& bytes) {
    EXPECT_TRUE(connection.write_all(bytes).ok());
}

}  // namespace zorvo::net::testing
