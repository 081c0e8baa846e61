#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>

#include "zorvo/common/result.hpp"
#include "zorvo/shm/infer_error.hpp"
#include "zorvo/shm/infer_host.hpp"
#include "zorvo/shm/region_client.hpp"
#include "zorvo/shm/shm_error.hpp"

namespace zorvo::shm {

struct ShmClientTiming {
    std::chrono::nanoseconds slot_lease = SLOT_LEASE;
    std::chrono::milliseconds readiness_wait = std::chrono::seconds(5);
    // Polling ends once this much time has passed (whole elapsed seconds greater than 5).
    std::chrono::nanoseconds response_timeout = std::chrono::seconds(6);
    // Poll with pause hints for this long before falling back to microsecond sleeps: a plain
    // sleep costs tens of microseconds per round, far more than a typical answer takes.
    std::chrono::nanoseconds spin_before_sleep = std::chrono::microseconds(100);
    // Sleeps then start at 1 us and double up to this much per call of this client in flight, so
    // that many callers waiting at once leave the processors to the engine.
    std::chrono::nanoseconds longest_sleep_per_call = std::chrono::microseconds(1);
};

// The shared-memory client without any host runtime: a region client whose requests travel
// through the region's request and response queues.
class ShmClientCore final : private Transport {
public:
    static Result<ShmClientCore, ShmError> connect(std::string_view name, const ShmClientTiming& timing = {});

    // Writes the tensor into a leased slot, announces it and waits for the matching answer, whose
    // data goes to `host.take_result`. The request number advances on every call.
    Result<Unit, InferError> infer(std::span<const std::int64_t> shape, std::string_view dtype,
                                   std::span<const std::uint8_t> data, InferHost& host) {
        return client_.infer(shape, dtype, data, host, *this);
    }

    std::uint64_t next_request_id() const noexcept { return client_.next_request_id(); }
    // See RegionClient.
    // Many threads may wait at once: they spin briefly, then back off to longer sleeps.
    void allow_concurrent_calls() noexcept {
        client_.allow_concurrent_calls();
        timing_.spin_before_sleep = std::chrono::microseconds(20);
        timing_.longest_sleep_per_call = std::chrono::microseconds(16);
        push_turns_ = std::make_unique<std::mutex>();
    }
    void wait_for_slots(std::chrono::nanoseconds limit) noexcept { client_.wait_for_slots(limit); }
    TieredShmAllocator& allocator() noexcept { return client_.allocator(); }
    const ShmManager& region() const noexcept { return client_.region(); }
    const PeerTable& peers() const noexcept { return client_.peers(); }

    // For a driver that takes many calls through their steps on one thread: the region client
    // (begin_call, end_call), the first half of a hand-over (the request announced, its cell
    // armed) and the last (what the answer, or its absence, means for the slot), with
    // await_response's polling in between done by the driver for all its calls at once.
    RegionClient& region_client() noexcept { return client_; }
    const ShmClientTiming& timing() const noexcept { return timing_; }
    Result<Unit, InferError> announce(const StagedRequest& request, SlotLease& lease, InferHost& host);
    Result<std::uint64_t, InferError> conclude(const StagedRequest& request, SlotLease& lease,
                                               Result<std::uint64_t, InferError>&& outcome, bool answered);

private:
    ShmClientCore(RegionClient client, const ShmClientTiming& timing) noexcept
        : Transport(true), client_(std::move(client)), timing_(timing) {}

    Result<std::uint64_t, InferError> hand_over(const StagedRequest& request, SlotLease& lease,
                                                InferHost& host) override;
    Result<Unit, InferError> announce_request(const StagedRequest& request, SlotLease& lease, InferHost& host);
    Result<std::uint64_t, InferError> conclude_request(const StagedRequest& request, SlotLease& lease,
                                                       Result<std::uint64_t, InferError>&& outcome, bool answered);
    Result<std::uint64_t, InferError> await_response(const StagedRequest& request, unsigned cell, InferHost& host,
                                                     bool& answered);
    // Waits, as a push waits for earlier producers, until the request queue's commit index has
    // left `stuck` (or nothing is reserved behind it any more).
    enum class BehindStall { Moved, Stalled, HostError };
    BehindStall wait_behind_stall(const PeerTable& peers, std::uint8_t* queue, std::uint64_t stuck, InferHost& host);

    RegionClient client_;
    ShmClientTiming timing_;
    // With overlapping calls, this client's pushes go one at a time: a thread preempted between
    // reserving and publishing would otherwise keep its siblings spinning behind it, where a
    // mutex lets them sleep.
    std::unique_ptr<std::mutex> push_turns_;
    // The request-queue index that a push of this client last gave up waiting behind, + 1 (0:
    // none). A later call waits for it to move before reserving an entry of its own, so that a
    // stopped producer holds one slot of this client (its follow-up's), not one per call.
    std::uint64_t stalled_behind_ = 0;
};

}  // namespace zorvo::shm
