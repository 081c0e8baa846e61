#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>
#include <vector>

#include "zorvo/common/fork_generation.hpp"
#include "zorvo/common/result.hpp"
#include "zorvo/shm/allocator.hpp"
#include "zorvo/shm/infer_error.hpp"
#include "zorvo/shm/infer_host.hpp"
#include "zorvo/shm/peer_table.hpp"
#include "zorvo/shm/region.hpp"
#include "zorvo/shm/request_block.hpp"
#include "zorvo/shm/shm_error.hpp"
#include "zorvo/shm/slot_lease.hpp"
#include "zorvo/shm/tensor_block.hpp"

namespace zorvo::shm {

// One attachment to a region: the mapping, this client's place among the region's clients and its
// allocator over the tensor pool. Members are destroyed in reverse: the allocator (whose claims
// live in the peer table) before the table, the table before the region.
struct Attachment {
    std::shared_ptr<const ShmManager> region;
    std::shared_ptr<PeerTable> peers;
    std::unique_ptr<TieredShmAllocator> allocator;
    std::uint64_t fork_generation;
};

// One request whose tensor block is staged in the pool, ready to be announced to the engine.
struct StagedRequest {
    std::uint64_t id;
    std::uint64_t tensor_offset;
    std::uint64_t tensor_size;
    std::uint64_t claim_index;  // of the slot holding the tensor block
    const Attachment* attachment;
    // The call's mailbox cell, if its transport uses one; given up when a follow-up takes it over.
    mutable unsigned cell = PeerTable::NO_CELL;
};

// How a staged request reaches the engine and its answer comes back: the queues in the region, or
// a control exchange on a socket. Returns the region offset of the result's tensor block. A
// transport that cannot tell whether the engine still uses the slot keeps the lease until expiry.
class Transport {
public:
    virtual ~Transport() = default;
    virtual Result<std::uint64_t, InferError> hand_over(const StagedRequest& request, SlotLease& lease,
                                                        InferHost& host) = 0;
    // Whether each call holds a mailbox cell of the coordination object, which records the slot
    // the call holds for the region's other clients from its claim (before the block is written)
    // to the end of the call (after the lease), should this process die in between. Set once, so
    // that the per-call steps take no indirect call.
    bool records_calls() const noexcept { return records_calls_; }

protected:
    explicit Transport(bool records_calls) noexcept : records_calls_(records_calls) {}

private:
    bool records_calls_;
};

// One call from its slot claim to its end: the staged request and the slot's lease. It finishes
// the call's mailbox cell (when its transport records calls) after the lease, however the call
// ends; a transport that hands the cell on to a follow-up sets request.cell to NO_CELL. It stays
// where it was made: the allocator reports the claim to it while the block is staged.
class RegionCall final : public ClaimObserver {
public:
    // Takes the call's request id: the next counter of this client's number.
    RegionCall(const Attachment& at, std::size_t data_size, bool records_calls) noexcept
        : request{.id = compose_request_id(at.peers->number(), at.peers->next_counter()),
                  .tensor_offset = 0,
                  .tensor_size = std::uint64_t{data_size} + TENSOR_BLOCK_HEADER,
                  .claim_index = 0,
                  .attachment = &at},
          cells_(records_calls ? at.peers.get() : nullptr) {}
    RegionCall(const RegionCall&) = delete;
    RegionCall& operator=(const RegionCall&) = delete;
    ~RegionCall() override {
        lease.release();
        if (request.cell != PeerTable::NO_CELL) cells_->finish(request.cell);
    }

    void claimed(std::uint64_t offset, std::uint64_t claim_index) noexcept override {
        request.tensor_offset = offset;
        request.claim_index = claim_index;
        if (cells_ == nullptr) return;
        if (request.cell == PeerTable::NO_CELL) request.cell = cells_->acquire_cell();
        if (request.cell != PeerTable::NO_CELL) cells_->record_slot(request.cell, claim_index);
    }

    StagedRequest request;
    SlotLease lease;

private:
    const PeerTable* cells_;  // when the transport records its calls
};

// What every client of a region has: its attachment and its request numbering. Runs the steps
// every request shares: take a number, lease a slot, stage the block, hand it over, read the
// result, release. Calls may overlap: each one works on the attachment current when it started,
// and an attachment replaced after a fork or an engine restart stays alive as long as the client.
class RegionClient {
public:
    static Result<RegionClient, ShmError> attach(std::string_view name,
                                                 std::chrono::nanoseconds slot_lease = SLOT_LEASE);

    RegionClient(RegionClient&&) noexcept = default;
    RegionClient& operator=(RegionClient&&) noexcept = default;

    // The result data goes to `host.take_result` while the request's slot is still held.
    Result<Unit, InferError> infer(std::span<const std::int64_t> shape, std::string_view dtype,
                                   std::span<const std::uint8_t> data, InferHost& host, Transport& transport);

    // The two halves of infer, for a caller that hands the request over itself without waiting in
    // between (an event loop): a call with its block staged in a leased slot, and the call's end
    // once the transport has the result's offset, or has failed. begin_call never waits for a slot
    // to come free: when the pool is full and waiting could help (as infer would wait),
    // `retry_later` is set, and the caller tries again after kSlotPoll, for up to slot_wait().
    Result<std::unique_ptr<RegionCall>, InferError> begin_call(std::span<const std::int64_t> shape,
                                                               std::string_view dtype,
                                                               std::span<const std::uint8_t> data, InferHost& host,
                                                               bool records_calls, bool& retry_later);
    // How often a call waiting for a free slot tries again.
    static constexpr std::chrono::microseconds kSlotPoll{50};
    Result<Unit, InferError> end_call(RegionCall& call, Result<std::uint64_t, InferError>&& result_offset,
                                      InferHost& host);

    // True in a child forked after this client attached: everything it holds is the parent's, and
    // the next request attaches afresh (own descriptor, number and allocator), as a new client.
    bool inherited_by_fork() const noexcept { return fork_generation() != current().fork_generation; }

    // A call that finds every fitting slot leased waits up to `limit` for one to come free
    // instead of failing at once (0, the default: it fails at once). Polled, never blocking.
    void wait_for_slots(std::chrono::nanoseconds limit) noexcept { state_->slot_wait = limit; }
    std::chrono::nanoseconds slot_wait() const noexcept { return state_->slot_wait; }

    // Calls may overlap from here on (several threads). Without, calls of one client never overlap.
    void allow_concurrent_calls() noexcept;

    // After a sign that the engine may have restarted (a request timed out, a control connection
    // broke), asks whether the region's name now names another object than the one mapped; if so,
    // or if the name is gone, the next request attaches to the region of that name first. A system
    // call or two, so never on the path of a call that went well.
    void check_for_restart();

    // The id the next request would get, were it sent now.
    std::uint64_t next_request_id() const noexcept;
    TieredShmAllocator& allocator() noexcept { return *current().allocator; }
    const ShmManager& region() const noexcept { return *current().region; }
    const std::shared_ptr<const ShmManager>& shared_region() const noexcept { return current().region; }
    const PeerTable& peers() const noexcept { return *current().peers; }

private:
    struct State {
        std::atomic<const Attachment*> current{nullptr};
        std::atomic<bool> region_replaced{false};
        std::mutex renewal;  // one re-attach at a time
        std::vector<std::unique_ptr<Attachment>> attachments;  // every one, the current one last
        std::chrono::nanoseconds slot_lease;
        std::chrono::nanoseconds slot_wait{0};
        bool concurrent = false;
    };

    explicit RegionClient(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}

    static Result<std::unique_ptr<Attachment>, ShmError> make_attachment(std::string_view name,
                                                                         std::chrono::nanoseconds slot_lease);
    Result<SlotLease, StageError> stage_when_free(const Attachment& at, std::span<const std::int64_t> shape,
                                                  std::string_view dtype, std::span<const std::uint8_t> data,
                                                  InferHost& host, ClaimObserver& observer);
    const Attachment& current() const noexcept { return *state_->current.load(std::memory_order_acquire); }
    // The attachment a new call works on: attached afresh after a fork or an engine restart.
    Result<const Attachment*, InferError> attachment_for_call();
    // Stages the call's block. When the pool is full and waiting could help, waits for a free slot
    // if `retry_later` is null, and otherwise sets it instead.
    Result<Unit, InferError> stage(RegionCall& call, std::span<const std::int64_t> shape, std::string_view dtype,
                                   std::span<const std::uint8_t> data, InferHost& host, bool* retry_later);
    Result<Unit, InferError> finish_call(RegionCall& call, Result<std::uint64_t, InferError>&& result_offset,
                                         InferHost& host);
    Result<const Attachment*, ShmError> attach_afresh(const Attachment& seen);

    std::unique_ptr<State> state_;
};

}  // namespace zorvo::shm
