#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "zorvo/common/result.hpp"

namespace zorvo::engine {

inline constexpr std::uint64_t kDefaultPoolSize = 256ull << 20;
inline constexpr std::uint64_t kDefaultMaxPayload = 1ull << 30;

// What the engine serves, as given on its command line.
struct EngineOptions {
    std::vector<std::string> tcp_addresses;  // HOST:PORT, port 0 picks a free port
    std::vector<std::string> unix_paths;     // "@name" is the abstract namespace
    std::optional<std::string> shm_name;
    std::uint64_t pool_size = kDefaultPoolSize;
    std::vector<std::string> hybrid_paths;
    std::optional<std::string> ready_file;
    std::uint64_t max_payload = kDefaultMaxPayload;
    bool die_with_parent = false;
    // How long after its arrival each request is answered, standing in for a model's run time.
    std::chrono::microseconds delay{0};
    bool show_help = false;
};

// Parses the arguments after the program name; the error is a one-line explanation.
Result<EngineOptions, std::string> parse_options(std::span<const std::string_view> args);

// Parses a byte count with an optional binary suffix (K, M, G): "4096", "64M".
std::optional<std::uint64_t> parse_byte_count(std::string_view text);

std::string usage_text();

}  // namespace zorvo::engine
