#include "zorvo/shm/region_client.hpp"

#include <atomic>

#include "zorvo/shm/request_block.hpp"
#include "zorvo/shm/tensor_block.hpp"

namespace zorvo::shm {

Result<RegionClient, ShmError> RegionClient::attach(std::string_view name, std::chrono::nanoseconds slot_lease) {
    auto mapped = ShmManager::connect(name);
    if (!mapped.ok()) return fail(std::move(mapped).error());
    auto region = std::make_shared<const ShmManager>(std::move(mapped).value());
    auto allocator = std::make_unique<TieredShmAllocator>(TieredShmAllocator::new_with_default_classes(
        region->header().tensor_pool_offset, region->header().tensor_pool_size, slot_lease));
    auto joined = PeerTable::join(*region, allocator->slot_count());
    if (!joined.ok()) return fail(std::move(joined).error());
    auto peers = std::make_unique<PeerTable>(std::move(joined).value());
    allocator->share(SlotClaims(peers->claim_words(), peers->number()));
    return RegionClient(std::move(region), std::move(peers), std::move(allocator), slot_lease);
}

RegionClient::RegionClient(std::shared_ptr<const ShmManager> region, std::unique_ptr<PeerTable> peers,
                           std::unique_ptr<TieredShmAllocator> allocator, std::chrono::nanoseconds slot_lease) noexcept
    : region_(std::move(region)),
      peers_(std::move(peers)),
      allocator_(std::move(allocator)),
      slot_lease_(slot_lease),
      fork_generation_(fork_generation()) {}

void RegionClient::check_for_restart() {
    auto named = ShmManager::identify(region_->name());
    if (!named.ok() || named.value() != region_->identity()) region_replaced_ = true;
}

Result<Unit, ShmError> RegionClient::attach_afresh() {
    auto fresh = attach(region_->name(), slot_lease_);
    if (!fresh.ok()) return fail(std::move(fresh).error());
    // A forked child starts its numbering as a new client would; after an engine restart the
    // numbers simply go on.
    const std::uint64_t counter = inherited_by_fork() ? 1 : next_counter_;
    // The parent's table, allocator and mapping are dropped here; in a child that only closes
    // and unmaps the child's own copies, and the parent's number and slots stay the parent's.
    *this = std::move(fresh).value();
    next_counter_ = counter;
    return Unit{};
}

Result<Unit, InferError> RegionClient::infer(std::span<const std::int64_t> shape, std::string_view dtype,
                                             std::span<const std::uint8_t> data, InferHost& host,
                                             Transport& transport) {
    if (inherited_by_fork() || region_replaced_) [[unlikely]] {
        if (auto renewed = attach_afresh(); !renewed.ok()) {
            return fail(InferError{InferError::Kind::Attach, renewed.error().display()});
        }
    }
    // Taken atomically: calls of the hybrid client may run on several threads at once.
    std::atomic_ref<std::uint64_t> next_counter(next_counter_);
    std::uint64_t counter = next_counter.load(std::memory_order_relaxed);
    std::uint64_t following = 0;
    do {
        // Counter 0 is never sent, so that an idle mailbox can never match an answer.
        following = (counter + 1) & REQUEST_COUNTER_MASK;
        if (following == 0) following = 1;
    } while (!next_counter.compare_exchange_weak(counter, following, std::memory_order_relaxed));

    auto staged = stage_request_block(*region_, *allocator_, shape, dtype, data);
    if (!staged.ok()) {
        const auto kind = staged.error().invalid_argument ? InferError::Kind::InvalidArgument : InferError::Kind::Runtime;
        return fail(InferError{kind, std::move(staged).error().message});
    }
    SlotLease lease = std::move(staged).value();
    const StagedRequest request{
        .id = compose_request_id(peers_->number(), counter),
        .tensor_offset = lease.offset(),
        .tensor_size = std::uint64_t{data.size()} + TENSOR_BLOCK_HEADER,
    };
    auto result_offset = transport.hand_over(request, lease, host);
    if (!result_offset.ok()) return fail(std::move(result_offset).error());

    auto result = read_tensor_data(region_->bytes(), result_offset.value());
    if (!result.ok()) return fail(InferError::runtime(std::move(result).error()));
    // Taken while the slot is still leased: the engine may have answered into the request's slot.
    const auto header = result.value().data() - TENSOR_BLOCK_HEADER;  // read_tensor_data checked it
    if (!host.take_result_block({header, TENSOR_BLOCK_HEADER}, result.value())) return fail(InferError{InferError::Kind::HostError, {}});
    return Unit{};
}

}  // namespace zorvo::shm
