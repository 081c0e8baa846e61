#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>

#include "zorvo/common/fork_generation.hpp"
#include "zorvo/shm/peer_table.hpp"

namespace zorvo::shm {

// The calls of one client that wait for answers in this process at the same time. One of them
// polls the response queue for all (the leader) and wakes each other one whose answer has been
// handed into its cell; the others sleep. Many calls in flight then cost one poller instead of
// one each, and an answer reaches its call as soon as the leader has seen it. When the leader's
// own answer comes, it passes the lead to another waiting call.
class LocalWaiters {
public:
    // The call in `cell` starts or stops waiting.
    void enter(unsigned cell) noexcept;
    void leave(unsigned cell) noexcept;

    // True if the caller is now the leader (no call was).
    bool try_lead() noexcept;
    // The leader stops leading and wakes a waiting call to take over.
    void resign(unsigned own_cell) noexcept;

    // Wakes every waiting call but `own_cell` whose answer has been handed over.
    void wake_answered(const PeerTable& peers, unsigned own_cell) noexcept;

    // Sleeps until woken or `limit` has passed.
    void sleep(unsigned cell, std::chrono::nanoseconds limit) noexcept;

private:
    void wake(unsigned cell) noexcept;

    // A forked child starts with none of the parent's waiting calls, its leader included.
    std::atomic<std::uint64_t> generation_{fork_generation()};
    std::atomic<bool> leader_{false};
    std::atomic<std::uint64_t> waiting_{0};
    std::array<std::atomic<std::uint32_t>, PeerTable::CELLS> woken_{};
};

}  // namespace zorvo::shm
