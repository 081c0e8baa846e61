#pragma once

// A stand-in engine on a Unix socket for the transport fuzz targets. Each accepted connection gets
// one exchange: the peer reads a whole request frame (12-byte header whose third word is the
// payload length, then the payload), records it, answers with the current reply bytes and closes.
// It runs on its own thread because the clients under test block until they have an answer.

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "zorvo/common/unique_fd.hpp"

namespace zorvo::fuzz {

class ScriptedPeer {
public:
    ScriptedPeer() : path_("/tmp/zorvo-fuzz-" + std::to_string(::getpid()) + ".sock") {
        ::unlink(path_.c_str());
        listener_ = UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
        if (!listener_.valid() || ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_.get(), 8) != 0) {
            std::perror("scripted peer: cannot listen");
            std::abort();
        }
        thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedPeer() {
        stop_.store(true);
        thread_.join();
        ::unlink(path_.c_str());
    }
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    const std::string& path() const noexcept { return path_; }

    // What every following connection is answered with; clears the recorded requests.
    void script(std::span<const std::uint8_t> reply) {
        std::lock_guard lock(mutex_);
        reply_.assign(reply.begin(), reply.end());
        requests_.clear();
    }

    std::vector<std::vector<std::uint8_t>> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    void serve() {
        while (!stop_.load()) {
            pollfd ready{listener_.get(), POLLIN, 0};
            if (::poll(&ready, 1, 20) <= 0) continue;
            UniqueFd connection(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!connection.valid()) continue;
            // A client that stops reading early must not hold the peer forever.
            const timeval limit{1, 0};
            ::setsockopt(connection.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
            ::setsockopt(connection.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            answer(connection.get());
        }
    }

    void answer(int fd) {
        std::vector<std::uint8_t> request(12);
        if (!read_exact(fd, request)) return;
        const std::uint32_t length = request[8] | request[9] << 8 | request[10] << 16 |
                                     std::uint32_t{request[11]} << 24;
        request.resize(12 + length);
        if (!read_exact(fd, std::span(request).subspan(12))) return;

        std::vector<std::uint8_t> reply;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(std::move(request));
            reply = reply_;
        }
        std::size_t sent = 0;
        while (sent < reply.size()) {
            const ssize_t n = ::send(fd, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return;
            sent += static_cast<std::size_t>(n);
        }
        ::shutdown(fd, SHUT_WR);
    }

    static bool read_exact(int fd, std::span<std::uint8_t> out) {
        std::size_t got = 0;
        while (got < out.size()) {
            const ssize_t n = ::recv(fd, out.data() + got, out.size() - got, 0);
            if (n <= 0) return false;
            got += static_cast<std::size_t>(n);
        }
        return true;
    }

    std::string path_;
    UniqueFd listener_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<std::uint8_t> reply_;
    std::vector<std::vector<std::uint8_t>> requests_;
    std::thread thread_;
};

}  // namespace zorvo::fuzz
