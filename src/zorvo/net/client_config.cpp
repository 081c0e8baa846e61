#include "zorvo/net/client_config.hpp"

#include <string>

#include "zorvo/common/text.hpp"

namespace zorvo::net {
namespace {

constexpr std::string_view kTcpScheme = "tcp://";
constexpr std::string_view kUnixScheme = "unix://";

using TargetResult = Result<ConnectionTarget, ClientError>;

TargetResult reject(std::string_view message) {
    return fail(ClientError::invalid_config(std::string(message)));
}

// Blank texts count as absent, exactly like None.
std::optional<std::string_view> normalise(std::optional<std::string_view> text) {
    if (!text) return std::nullopt;
    std::string_view trimmed = trim_white_space(*text);
    if (trimmed.empty()) return std::nullopt;
    return trimmed;
}

ConnectionTarget tcp_from_parts(std::optional<std::string_view> host, std::optional<std::uint16_t> port) {
    std::string address(host.value_or(kDefaultHost));
    address += ':';
    address += std::to_string(port.value_or(kDefaultPort));
    return ConnectionTarget::tcp(std::move(address));
}

// A text that starts with "tcp://": the address after the scheme, which must not be empty.
TargetResult tcp_after_scheme(std::string_view text) {
    if (text.size() == kTcpScheme.size()) return reject("tcp:// endpoint must include host:port");
    return ConnectionTarget::tcp(std::string(text.substr(kTcpScheme.size())));
}

bool is_one_of(std::string_view value, std::initializer_list<std::string_view> names) {
    for (std::string_view name : names) {
        if (value == name) return true;
    }
    return false;
}

}  // namespace

TargetResult parse_endpoint(std::string_view text) {
    std::string_view trimmed = trim_white_space(text);
    if (trimmed.empty()) return reject("Endpoint cannot be empty");
    if (trimmed.starts_with(kTcpScheme)) return tcp_after_scheme(trimmed);
    if (trimmed.starts_with(kUnixScheme)) {
        if (trimmed.size() == kUnixScheme.size()) return reject("unix:// endpoint must include a socket path");
        return ConnectionTarget::unix_socket(std::string(trimmed.substr(kUnixScheme.size())));
    }
    return ConnectionTarget::unix_socket(std::string(trimmed));
}

TargetResult resolve_target(const ClientOptions& options) {
    const auto endpoint = normalise(options.endpoint);
    const auto host = normalise(options.host);
    const auto socket_path = normalise(options.socket_path);
    const auto pipe_name = normalise(options.pipe_name);
    const auto port = options.port;
    const auto protocol_text = normalise(options.protocol);

    if (!protocol_text) {
        if (endpoint) return parse_endpoint(*endpoint);
        if (host || port) return tcp_from_parts(host, port);
        if (socket_path) return parse_endpoint(*socket_path);
        if (pipe_name) return reject("pipe_name is only supported on Windows");
        return ConnectionTarget::default_local();
    }

    const std::string protocol = ascii_lowercase(*protocol_text);
    if (protocol == "tcp") {
        if (socket_path || pipe_name) {
            return reject("protocol='tcp' cannot be combined with socket_path or pipe_name");
        }
        if (endpoint) {
            if (host || port) return reject("When endpoint is provided, do not also pass host/port");
            if (endpoint->starts_with(kTcpScheme)) return tcp_after_scheme(*endpoint);
            if (endpoint->find("://") != std::string_view::npos) {
                return reject("protocol='tcp' expects endpoint as host:port or tcp://host:port");
            }
            return ConnectionTarget::tcp(std::string(*endpoint));
        }
        return tcp_from_parts(host, port);
    }
    if (is_one_of(protocol, {"unix", "local", "socket"})) {
        if (host || port || pipe_name) {
            return reject("protocol='socket' cannot be combined with host/port/pipe_name");
        }
        if (socket_path) return parse_endpoint(*socket_path);
        if (endpoint) return parse_endpoint(*endpoint);
        return ConnectionTarget::default_local();
    }
    if (is_one_of(protocol, {"pipe", "named_pipe", "named-pipe"})) {
        if (port || host || socket_path) {
            return reject("protocol='pipe' cannot be combined with host/port/socket_path");
        }
        return reject("protocol='pipe' is only supported on Windows");
    }
    return reject("Unsupported protocol '" + protocol + "'. Use one of: socket, tcp, pipe");
}

}  // namespace zorvo::net
