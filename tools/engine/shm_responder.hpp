#pragma once

#include <chrono>
#include <deque>
#include <stop_token>
#include <thread>

#include "engine_region.hpp"
#include "zorvo/shm/queue_entries.hpp"

namespace zorvo::engine {

// Answers the region's request queue on its own thread until destroyed: each request is echoed
// by naming its own tensor block as the result, so answering copies no tensor byte. Polls in a
// short spin while requests keep coming, then backs off to sleeps so an idle engine stays cool.
// With a delay, each answer is held until its request's due time while the queue keeps being read,
// so any number of requests wait at once.
class ShmResponder {
public:
    explicit ShmResponder(const EngineRegion& region, std::chrono::microseconds delay = {});

private:
    using Clock = std::chrono::steady_clock;
    struct DueAnswer {
        Clock::time_point due;
        shm::ShmResponseEntry response;
    };

    void run(std::stop_token stop);
    shm::ShmResponseEntry respond_to(const shm::ShmRequestEntry& request) const;
    void publish(const shm::ShmResponseEntry& response, const std::stop_token& stop) const;
    // Publishes every held answer whose time has come.
    void publish_due(Clock::time_point now, const std::stop_token& stop);

    const EngineRegion& region_;
    const std::chrono::microseconds delay_;
    // Ordered by due time: with one delay for all, arrival order is due order.
    std::deque<DueAnswer> held_;
    std::jthread thread_;
};

}  // namespace zorvo::engine
