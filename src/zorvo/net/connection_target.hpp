#pragma once

#include <string>

namespace zorvo::net {

// Where every connection of a socket client goes; fixed for the client's life.
struct ConnectionTarget {
    enum class Kind { Unix, Tcp };

    Kind kind;
    std::string address;  // socket path for Unix, "host:port" text (unvalidated) for Tcp

    static ConnectionTarget unix_socket(std::string path) { return {Kind::Unix, std::move(path)}; }
    static ConnectionTarget tcp(std::string address) { return {Kind::Tcp, std::move(address)}; }
    static ConnectionTarget default_local() { return unix_socket("/tmp/zorvo.sock"); }

    std::string endpoint() const { return (kind == Kind::Tcp ? "tcp://" : "unix://") + address; }
    const char* protocol() const { return kind == Kind::Tcp ? "tcp" : "socket"; }
};

}  // namespace zorvo::net
