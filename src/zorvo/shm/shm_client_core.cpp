#include "zorvo/shm/shm_client_core.hpp"

#include <time.h>

#include "zorvo/shm/cpu_relax.hpp"
#include "zorvo/shm/readiness_wait.hpp"
#include "zorvo/shm/ring_buffer.hpp"
#include "zorvo/shm/stalled_publish.hpp"
#include "zorvo/shm/tensor_block.hpp"
#include "zorvo/wire/transport_metadata.hpp"

namespace zorvo::shm {

namespace {

using Clock = std::chrono::steady_clock;

void sleep_one_microsecond() noexcept {
    const timespec pause{0, 1000};
    ::nanosleep(&pause, nullptr);
}

// Keeps the client's mailbox armed for one request while it is in flight, and disarms it when
// the call ends without its answer.
class ArmedMailbox {
public:
    ArmedMailbox(const PeerTable& peers, std::uint64_t counter) noexcept : peers_(peers) { peers_.arm(counter); }
    ~ArmedMailbox() {
        if (!answered_) peers_.disarm();
    }
    ArmedMailbox(const ArmedMailbox&) = delete;
    ArmedMailbox& operator=(const ArmedMailbox&) = delete;

    void answered() noexcept { answered_ = true; }

private:
    const PeerTable& peers_;
    bool answered_ = false;
};

// The result block's offset of an answer, or the engine's error.
Result<std::uint64_t, InferError> read_answer(const ShmResponseEntry& entry, std::span<const std::uint8_t> region) {
    if (entry.is_error == 0) return entry.result_offset;
    if (entry.error_offset == 0) return fail(InferError::runtime("Unknown error"));
    auto text = read_error_text(region, entry.error_offset);
    return fail(InferError::runtime(text.ok() ? std::move(text).value() : std::move(text).error()));
}

}  // namespace

Result<ShmClientCore, ShmError> ShmClientCore::connect(std::string_view name, const ShmClientTiming& timing) {
    auto client = RegionClient::attach(name, timing.slot_lease);
    if (!client.ok()) return fail(std::move(client).error());
    return ShmClientCore(std::move(client).value(), timing);
}

Result<std::uint64_t, InferError> ShmClientCore::hand_over(const StagedRequest& request, SlotLease& lease,
                                                           InferHost& host) {
    const ShmManager& region = client_.region();
    // Armed before the request is announced: another client may take the answer at once.
    ArmedMailbox mailbox(client_.peers(), request_counter(request.id));
    const ShmRequestEntry entry{
        .request_id = request.id,
        .timestamp_ns = wire::wall_clock_ns(),
        .tensor_offset = request.tensor_offset,
        .tensor_size = request.tensor_size,
    };
    const RequestQueue requests(region.base() + region.header().request_queue_offset);
    std::uint64_t stalled_at = QUEUE_CAPACITY;
    if (auto pushed = requests.push(entry, &stalled_at); !pushed.ok()) {
        if (stalled_at < QUEUE_CAPACITY) {
            // The entry is written but waits behind a slow producer. It must still go out, or the
            // queue stays blocked for every client; and the engine will then read the slot.
            lease.keep_until_expiry();
            publish_when_unblocked(client_.shared_region(), region.header().request_queue_offset, stalled_at);
        }
        return fail(InferError::runtime(pushed.error().display()));
    }
    // Done while the engine works on the request rather than before announcing it.
    host.request_staged();

    wait_for_readiness(region.header().notify_fd, timing_.readiness_wait, host);
    bool answered = false;
    auto outcome = await_response(request, host, answered);
    // Unless the engine answered, it may still read the slot, or write its answer into it: nobody
    // gets it before the lease runs out.
    if (answered) {
        mailbox.answered();
    } else {
        lease.keep_until_expiry();
    }
    // Silence may mean the engine restarted with a new region under the same name.
    if (!outcome.ok() && outcome.error().kind == InferError::Kind::Timeout) client_.check_for_restart();
    return outcome;
}

Result<std::uint64_t, InferError> ShmClientCore::await_response(const StagedRequest& request, InferHost& host,
                                                                bool& answered) {
    const ShmManager& region = client_.region();
    const PeerTable& peers = client_.peers();
    const ResponseQueue responses(region.base() + region.header().response_queue_offset);
    const auto region_bytes = std::span<const std::uint8_t>(region.bytes());
    const auto start = Clock::now();
    bool spinning = true;
    for (unsigned round = 0;; ++round) {
        // Another client may have taken the answer from the queue and passed it on.
        if (auto handed = peers.collect(request_counter(request.id)); handed && handed->request_id == request.id) {
            answered = true;
            return read_answer(*handed, region_bytes);
        }
        auto popped = responses.try_pop();
        if (!popped.ok()) return fail(InferError::runtime(popped.error().display()));
        if (const auto& entry = popped.value()) {
            if (entry->request_id == request.id) {
                answered = true;
                return read_answer(*entry, region_bytes);
            }
            // Someone else's: passed to its client if that client still waits, dropped otherwise.
            peers.hand_over(*entry);
        }
        // While spinning, the clock is read every few rounds only: a shorter round notices the
        // answer sooner. Once sleeping, every round reads it.
        if (!spinning || round % 8 == 0) {
            const auto elapsed = Clock::now() - start;
            if (elapsed >= timing_.response_timeout) {
                return fail(InferError{InferError::Kind::Timeout, "Request timed out"});
            }
            spinning = elapsed < timing_.spin_before_sleep;
        }
        if (!host.run_pending_handlers()) return fail(InferError{InferError::Kind::HostError, {}});
        if (spinning) {
            cpu_relax();  // one pause per round: each extra one delays noticing an answer
        } else {
            sleep_one_microsecond();
        }
    }
}

}  // namespace zorvo::shm
