#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "zorvo/common/unique_fd.hpp"
#include "zorvo/common/result.hpp"

namespace zorvo::engine {

// A bound, listening stream socket. A Unix socket file it created is removed again when the
// listener goes away, unless something else has replaced the file in the meantime.
class ListeningSocket {
public:
    ListeningSocket(UniqueFd fd, std::string ready_line, bool is_tcp, std::string socket_file,
                    dev_t device, ino_t inode) noexcept
        : fd_(std::move(fd)), ready_line_(std::move(ready_line)), is_tcp_(is_tcp),
          socket_file_(std::move(socket_file)), device_(device), inode_(inode) {}
    ~ListeningSocket();

    ListeningSocket(ListeningSocket&& other) noexcept;
    ListeningSocket& operator=(ListeningSocket&&) = delete;
    ListeningSocket(const ListeningSocket&) = delete;
    ListeningSocket& operator=(const ListeningSocket&) = delete;

    int fd() const noexcept { return fd_.get(); }
    bool is_tcp() const noexcept { return is_tcp_; }
    // "tcp 127.0.0.1:40123", "unix /tmp/engine.sock", "hybrid @name": what the engine prints.
    const std::string& ready_line() const noexcept { return ready_line_; }

private:
    UniqueFd fd_;
    std::string ready_line_;
    bool is_tcp_;
    std::string socket_file_;  // empty: nothing to remove
    dev_t device_;
    ino_t inode_;
};

// "HOST:PORT" or "[V6HOST]:PORT"; port 0 binds a free port, reported in the ready line.
Result<ListeningSocket, std::string> listen_tcp(std::string_view host_port);

// A file-system path, or "@name" for the abstract namespace. A stale socket file that nobody
// listens on any more is replaced; a live one is an error. `label` starts the ready line.
Result<ListeningSocket, std::string> listen_unix(std::string_view path, std::string_view label);

}  // namespace zorvo::engine
