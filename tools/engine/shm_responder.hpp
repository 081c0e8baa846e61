#pragma once

#include <stop_token>
#include <thread>

#include "engine_region.hpp"
#include "zorvo/shm/queue_entries.hpp"

namespace zorvo::engine {

// Answers the region's request queue on its own thread until destroyed: each request is echoed
// by naming its own tensor block as the result, so answering copies no tensor byte. Polls in a
// short spin while requests keep coming, then backs off to sleeps so an idle engine stays cool.
class ShmResponder {
public:
    explicit ShmResponder(const EngineRegion& region);

private:
    void run(std::stop_token stop);
    shm::ShmResponseEntry respond_to(const shm::ShmRequestEntry& request) const;
    void publish(const shm::ShmResponseEntry& response, const std::stop_token& stop) const;

    const EngineRegion& region_;
    std::jthread thread_;
};

}  // namespace zorvo::engine
