#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "zorvo/common/result.hpp"
#include "zorvo/net/client_error.hpp"
#include "zorvo/net/connection_target.hpp"

namespace zorvo::net {

inline constexpr std::string_view kDefaultHost = "127.0.0.1";
inline constexpr std::uint16_t kDefaultPort = 9096;
inline constexpr std::uint64_t kDefaultMaxPoolSize = 8;

// The constructor arguments that choose a target, as the caller gave them (untrimmed).
struct ClientOptions {
    std::optional<std::string_view> endpoint;
    std::optional<std::string_view> protocol;
    std::optional<std::string_view> host;
    std::optional<std::uint16_t> port;
    std::optional<std::string_view> socket_path;
    std::optional<std::string_view> pipe_name;
};

// Turns a text with an optional "tcp://" or "unix://" scheme into a target; no scheme means a path.
Result<ConnectionTarget, ClientError> parse_endpoint(std::string_view text);

// Resolves the argument combination into one target or an InvalidConfig rejection. Performs no I/O.
Result<ConnectionTarget, ClientError> resolve_target(const ClientOptions& options);

}  // namespace zorvo::net
