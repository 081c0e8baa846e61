#include "zorvo/shm/shm_client_core.hpp"

#include <time.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <utility>

#include "zorvo/shm/cpu_relax.hpp"
#include "zorvo/shm/readiness_wait.hpp"
#include "zorvo/shm/response_consumer.hpp"
#include "zorvo/shm/ring_buffer.hpp"
#include "zorvo/shm/stalled_publish.hpp"
#include "zorvo/shm/tensor_block.hpp"
#include "zorvo/wire/transport_metadata.hpp"

namespace zorvo::shm {

namespace {

using Clock = std::chrono::steady_clock;

// Tells the region's other clients which request-queue entry this call reserves, and looks for
// dead producers when the call waits behind one.
class CellReservation {
public:
    CellReservation(const PeerTable& peers, unsigned cell, std::uint8_t* queue) noexcept
        : peers_(peers), cell_(cell), queue_(queue) {}
    void reserving(std::uint64_t index) noexcept { peers_.reserving(cell_, index); }
    void done(bool still_reserved) noexcept {
        if (!still_reserved) peers_.published(cell_);
    }
    bool rescue(std::uint64_t stuck) { return peers_.rescue_stalled(queue_, stuck); }

private:
    const PeerTable& peers_;
    unsigned cell_;
    std::uint8_t* queue_;
};

}  // namespace

Result<ShmClientCore, ShmError> ShmClientCore::connect(std::string_view name, const ShmClientTiming& timing) {
    auto client = RegionClient::attach(name, timing.slot_lease);
    if (!client.ok()) return fail(std::move(client).error());
    return ShmClientCore(std::move(client).value(), timing);
}

Result<std::uint64_t, InferError> ShmClientCore::hand_over(const StagedRequest& request, SlotLease& lease,
                                                           InferHost& host) {
    if (auto announced = announce_request(request, lease, host); !announced.ok()) {
        return fail(std::move(announced).error());
    }
    const Attachment& at = *request.attachment;
    wait_for_readiness(at.region->header().notify_fd, timing_.readiness_wait, host);
    bool answered = false;
    auto outcome = await_response(request, request.cell, host, answered);
    return conclude_request(request, lease, std::move(outcome), answered);
}

Result<Unit, InferError> ShmClientCore::announce(const StagedRequest& request, SlotLease& lease, InferHost& host) {
    return announce_request(request, lease, host);
}

Result<std::uint64_t, InferError> ShmClientCore::conclude(const StagedRequest& request, SlotLease& lease,
                                                          Result<std::uint64_t, InferError>&& outcome, bool answered) {
    return conclude_request(request, lease, std::move(outcome), answered);
}

[[gnu::always_inline]] inline Result<Unit, InferError> ShmClientCore::announce_request(const StagedRequest& request,
                                                                                      SlotLease& lease,
                                                                                      InferHost& host) {
    const Attachment& at = *request.attachment;
    const ShmManager& region = *at.region;
    const PeerTable& peers = *at.peers;
    const unsigned cell_index = request.cell;
    if (cell_index == PeerTable::NO_CELL) {
        return fail(InferError::runtime("Too many calls in flight on one shared-memory client (at most " +
                                        std::to_string(PeerTable::CELLS) + ")"));
    }
    std::uint8_t* queue = region.base() + region.header().request_queue_offset;
    if (const std::uint64_t behind = std::atomic_ref(stalled_behind_).load(std::memory_order_relaxed); behind != 0)
        [[unlikely]] {
        switch (wait_behind_stall(peers, queue, behind - 1, host)) {
            case BehindStall::Moved:
                break;
            case BehindStall::Stalled:
                return fail(InferError::runtime(QueueError::commit_stalled().display()));
            case BehindStall::HostError:
                return fail(InferError{InferError::Kind::HostError, {}});
        }
    }
    // Armed before the request is announced: another client may take the answer at once.
    peers.arm(cell_index, request_counter(request.id));
    const ShmRequestEntry entry{
        .request_id = request.id,
        .timestamp_ns = wire::wall_clock_ns(),
        .tensor_offset = request.tensor_offset,
        .tensor_size = request.tensor_size,
    };
    const RequestQueue requests(queue);
    CellReservation reservation(peers, cell_index, queue);
    std::uint64_t stalled_at = QUEUE_CAPACITY;
    auto pushed = [&] {
        std::unique_lock<std::mutex> turn;
        if (push_turns_) turn = std::unique_lock(*push_turns_);
        return requests.push(entry, &stalled_at, &reservation);
    }();
    if (!pushed.ok()) {
        if (stalled_at < QUEUE_CAPACITY) {
            // The entry is written but waits behind a slow producer. It must still go out, or the
            // queue stays blocked for every client; and the engine will then read the slot.
            lease.keep_until_expiry();
            // The follow-up finishes the cell, which says until then whose entry it is, and
            // frees the slot once the engine has answered.
            request.cell = PeerTable::NO_CELL;
            publish_when_unblocked(at.region, at.peers, region.header().request_queue_offset, stalled_at, cell_index);
            std::atomic_ref(stalled_behind_).store(requests.commit_index() + 1, std::memory_order_relaxed);
        }
        return fail(InferError::runtime(pushed.error().display()));
    }
    // Done while the engine works on the request rather than before announcing it.
    host.request_staged();
    return Unit{};
}

[[gnu::always_inline]] inline Result<std::uint64_t, InferError> ShmClientCore::conclude_request(
    const StagedRequest& request, SlotLease& lease, Result<std::uint64_t, InferError>&& outcome, bool answered) {
    // Unless the engine answered, it may still read the slot, or write its answer into it: nobody
    // gets it before the lease runs out.
    if (answered) {
        request.attachment->peers->answered(request.cell);
    } else {
        lease.keep_until_expiry();
    }
    // Silence may mean the engine restarted with a new region under the same name.
    if (!outcome.ok() && outcome.error().kind == InferError::Kind::Timeout) client_.check_for_restart();
    return outcome;
}

ShmClientCore::BehindStall ShmClientCore::wait_behind_stall(const PeerTable& peers, std::uint8_t* queue,
                                                            std::uint64_t stuck, InferHost& host) {
    constexpr auto kPoll = std::chrono::microseconds(100);
    constexpr auto kRescueEvery = std::chrono::milliseconds(20);
    const RequestQueue requests(queue);
    const auto start = Clock::now();
    auto next_rescue = start;
    for (;;) {
        if (requests.commit_index() != stuck || requests.reserve_index() == stuck) {
            std::uint64_t seen = stuck + 1;
            std::atomic_ref(stalled_behind_).compare_exchange_strong(seen, 0, std::memory_order_relaxed);
            return BehindStall::Moved;
        }
        const auto now = Clock::now();
        if (now - start >= RequestQueue::DEFAULT_COMMIT_STALL_LIMIT) return BehindStall::Stalled;
        // The producer may have died meanwhile: its entry is then published in its place.
        if (now >= next_rescue) {
            peers.rescue_stalled(queue, stuck);
            next_rescue = now + kRescueEvery;
        }
        if (!host.run_pending_handlers()) return BehindStall::HostError;
        std::this_thread::sleep_for(kPoll);
    }
}

Result<std::uint64_t, InferError> ShmClientCore::await_response(const StagedRequest& request, unsigned cell,
                                                                InferHost& host, bool& answered) {
    const Attachment& at = *request.attachment;
    const ShmManager& region = *at.region;
    const PeerTable& peers = *at.peers;
    const ResponseQueue responses(region.base() + region.header().response_queue_offset);
    ResponseConsumer consumer(peers, responses);
    const auto region_bytes = std::span<const std::uint8_t>(region.bytes());
    const std::uint64_t counter = request_counter(request.id);
    const auto start = Clock::now();
    auto now = start;
    auto renew_at = start + timing_.slot_lease / 3;
    bool spinning = true;
    std::chrono::nanoseconds sleep = std::chrono::microseconds(1);
    for (unsigned round = 0;; ++round) {
        // Another client may have taken the answer from the queue and passed it on.
        if (auto handed = peers.collect(cell, counter); handed && handed->request_id == request.id) {
            answered = true;
            return read_answer(*handed, region_bytes);
        }
        // Someone else's answers are passed to the calls that await them, dropped if none does.
        auto popped = consumer.pop(now, request.id);
        if (!popped.ok()) return fail(InferError::runtime(popped.error().display()));
        if (const auto& own = popped.value().own) {
            answered = true;
            return read_answer(*own, region_bytes);
        }
        // While spinning, the clock is read every few rounds only: a shorter round notices the
        // answer sooner. Once sleeping, every round reads it.
        if (!spinning || round % 8 == 0) {
            now = Clock::now();
            const auto elapsed = now - start;
            if (elapsed >= timing_.response_timeout) {
                return fail(InferError{InferError::Kind::Timeout, "Request timed out"});
            }
            spinning = elapsed < timing_.spin_before_sleep;
            // A call still waiting keeps its slot: the engine may yet read it or answer into it.
            if (now >= renew_at) [[unlikely]] {
                at.allocator->renew(request.claim_index);
                renew_at = now + timing_.slot_lease / 3;
            }
        }
        if (!host.run_pending_handlers()) return fail(InferError{InferError::Kind::HostError, {}});
        if (spinning) {
            cpu_relax();  // one pause per round: each extra one delays noticing an answer
        } else {
            pause_for(sleep);
            sleep = std::min(sleep * 2, timing_.longest_sleep_per_call * peers.calls_in_flight());
        }
    }
}

}  // namespace zorvo::shm
