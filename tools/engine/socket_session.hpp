#pragma once

#include <chrono>
#include <cstdint>

#include "engine_region.hpp"

namespace zorvo::engine {

struct SessionSettings {
    const EngineRegion* region = nullptr;  // for kind 4; null when no region is served
    std::uint64_t max_payload = 0;
    // Each answer leaves this long after its request's header arrived. Every connection has its
    // own thread, so a connection's wait holds up no other.
    std::chrono::microseconds delay{0};
};

// Serves request frames on one connected socket until the peer closes it, a frame of an unknown
// kind arrives, a scripted model hangs up, or the socket fails.
void serve_connection(int fd, const SessionSettings& settings);

}  // namespace zorvo::engine
