#pragma once

#include <chrono>
#include <string>

namespace zorvo::net {

// How long a connection's sends and receives wait before they ask whether to go on. With no
// slice (the default) a wait has no bound and nothing is asked. With one, each send or receive that
// has waited that long calls `keep_waiting`; false ends it with WaitAbandoned, true waits again.
// Lets a host whose waits must stay interruptible (signal handlers) look in now and then.
struct WaitCheck {
    std::chrono::milliseconds slice{0};
    bool (*keep_waiting)() = nullptr;
};

// Where every connection of a socket client goes, and how it waits; fixed for the client's life.
struct ConnectionTarget {
    enum class Kind { Unix, Tcp };

    Kind kind;
    std::string address;  // socket path for Unix, "host:port" text (unvalidated) for Tcp
    WaitCheck wait{};

    static ConnectionTarget unix_socket(std::string path) { return {Kind::Unix, std::move(path)}; }
    static ConnectionTarget tcp(std::string address) { return {Kind::Tcp, std::move(address)}; }
    static ConnectionTarget default_local() { return unix_socket("/tmp/zorvo.sock"); }

    std::string endpoint() const { return (kind == Kind::Tcp ? "tcp://" : "unix://") + address; }
    const char* protocol() const { return kind == Kind::Tcp ? "tcp" : "socket"; }
};

}  // namespace zorvo::net
