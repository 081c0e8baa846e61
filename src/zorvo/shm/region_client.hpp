#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "zorvo/common/fork_generation.hpp"
#include "zorvo/common/result.hpp"
#include "zorvo/shm/allocator.hpp"
#include "zorvo/shm/infer_error.hpp"
#include "zorvo/shm/infer_host.hpp"
#include "zorvo/shm/peer_table.hpp"
#include "zorvo/shm/region.hpp"
#include "zorvo/shm/shm_error.hpp"
#include "zorvo/shm/slot_lease.hpp"

namespace zorvo::shm {

// One request whose tensor block is staged in the pool, ready to be announced to the engine.
struct StagedRequest {
    std::uint64_t id;
    std::uint64_t tensor_offset;
    std::uint64_t tensor_size;
};

// How a staged request reaches the engine and its answer comes back: the queues in the region, or
// a control exchange on a socket. Returns the region offset of the result's tensor block. A
// transport that cannot tell whether the engine still uses the slot keeps the lease until expiry.
class Transport {
public:
    virtual ~Transport() = default;
    virtual Result<std::uint64_t, InferError> hand_over(const StagedRequest& request, SlotLease& lease,
                                                        InferHost& host) = 0;
};

// What every client of a region has: the mapped region, its allocator over the tensor pool, its
// place among the region's other clients and its request numbering. Runs the steps every request
// shares: take a number, lease a slot, stage the block, hand it over, read the result, release.
class RegionClient {
public:
    static Result<RegionClient, ShmError> attach(std::string_view name,
                                                 std::chrono::nanoseconds slot_lease = SLOT_LEASE);

    RegionClient(RegionClient&&) noexcept = default;
    RegionClient& operator=(RegionClient&&) noexcept = default;

    // The result data goes to `host.take_result` while the request's slot is still held. The
    // request number advances on every call.
    Result<Unit, InferError> infer(std::span<const std::int64_t> shape, std::string_view dtype,
                                   std::span<const std::uint8_t> data, InferHost& host, Transport& transport);

    // True in a child forked after this client attached: everything it holds is the parent's, and
    // the next request attaches afresh (own descriptor, number and allocator), as a new client.
    bool inherited_by_fork() const noexcept { return fork_generation() != fork_generation_; }

    // After a sign that the engine may have restarted (a request timed out, a control connection
    // broke), asks whether the region's name now names another object than the one mapped; if so,
    // or if the name is gone, the next request attaches to the region of that name first. A system
    // call or two, so never on the path of a call that went well.
    void check_for_restart();

    std::uint64_t next_request_id() const noexcept { return compose_request_id(peers_->number(), next_counter_); }
    TieredShmAllocator& allocator() noexcept { return *allocator_; }
    const ShmManager& region() const noexcept { return *region_; }
    const std::shared_ptr<const ShmManager>& shared_region() const noexcept { return region_; }
    const PeerTable& peers() const noexcept { return *peers_; }

private:
    RegionClient(std::shared_ptr<const ShmManager> region, std::unique_ptr<PeerTable> peers,
                 std::unique_ptr<TieredShmAllocator> allocator, std::chrono::nanoseconds slot_lease) noexcept;

    Result<Unit, ShmError> attach_afresh();

    // Destroyed in reverse: the allocator (whose claims live in the peer table) before the table,
    // the table before the region.
    std::shared_ptr<const ShmManager> region_;
    std::unique_ptr<PeerTable> peers_;
    std::unique_ptr<TieredShmAllocator> allocator_;
    std::uint64_t next_counter_ = 1;
    std::chrono::nanoseconds slot_lease_;
    std::uint64_t fork_generation_;
    bool region_replaced_ = false;
};

}  // namespace zorvo::shm
