#pragma once

#include <string>
#include <utility>
#include <variant>

#include "zorvo/common/system_error.hpp"

namespace zorvo::net {

// The socket client's failure; the variant decides the Python exception it becomes.
class ClientError {
public:
    enum class Kind { Io, InvalidConfig, InvalidRequest, Serialization, Server };

    static ClientError io(SystemError error) { return ClientError(Kind::Io, std::move(error)); }
    static ClientError invalid_config(std::string text) { return ClientError(Kind::InvalidConfig, std::move(text)); }
    static ClientError invalid_request(std::string text) { return ClientError(Kind::InvalidRequest, std::move(text)); }
    static ClientError serialization(std::string text) { return ClientError(Kind::Serialization, std::move(text)); }
    static ClientError server(std::string text) { return ClientError(Kind::Server, std::move(text)); }

    Kind kind() const noexcept { return kind_; }
    bool is_io() const noexcept { return kind_ == Kind::Io; }
    // A send or receive its connection's WaitCheck ended (see connection_target.hpp).
    bool is_abandoned_wait() const noexcept {
        const auto* system = std::get_if<SystemError>(&payload_);
        return system != nullptr && system->kind() == ErrorKind::Interrupted;
    }

    // The exception text: the system error's display text for Io, the payload otherwise.
    std::string message() const {
        if (const auto* system = std::get_if<SystemError>(&payload_)) return system->display();
        return std::get<std::string>(payload_);
    }

private:
    ClientError(Kind kind, std::variant<SystemError, std::string> payload)
        : kind_(kind), payload_(std::move(payload)) {}

    Kind kind_;
    std::variant<SystemError, std::string> payload_;
};

}  // namespace zorvo::net
