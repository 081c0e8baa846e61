#include "zorvo/shm/region_client.hpp"

#include <thread>

#include "zorvo/shm/request_block.hpp"
#include "zorvo/shm/tensor_block.hpp"

namespace zorvo::shm {

Result<std::unique_ptr<Attachment>, ShmError> RegionClient::make_attachment(std::string_view name,
                                                                            std::chrono::nanoseconds slot_lease) {
    auto mapped = ShmManager::connect(name);
    if (!mapped.ok()) return fail(std::move(mapped).error());
    auto region = std::make_shared<const ShmManager>(std::move(mapped).value());
    auto allocator = std::make_unique<TieredShmAllocator>(TieredShmAllocator::new_with_default_classes(
        region->header().tensor_pool_offset, region->header().tensor_pool_size, slot_lease));
    auto joined = PeerTable::join(*region, allocator->slot_count());
    if (!joined.ok()) return fail(std::move(joined).error());
    auto peers = std::make_shared<PeerTable>(std::move(joined).value());
    allocator->share(SlotClaims(peers->claim_words(), peers->number()), peers.get());
    return std::make_unique<Attachment>(
        Attachment{std::move(region), std::move(peers), std::move(allocator), fork_generation()});
}

Result<RegionClient, ShmError> RegionClient::attach(std::string_view name, std::chrono::nanoseconds slot_lease) {
    auto attachment = make_attachment(name, slot_lease);
    if (!attachment.ok()) return fail(std::move(attachment).error());
    auto state = std::make_unique<State>();
    state->slot_lease = slot_lease;
    state->current.store(attachment.value().get(), std::memory_order_release);
    state->attachments.push_back(std::move(attachment).value());
    return RegionClient(std::move(state));
}

void RegionClient::check_for_restart() {
    const Attachment& seen = current();
    auto named = ShmManager::identify(seen.region->name());
    if (!named.ok() || named.value() != seen.region->identity()) {
        state_->region_replaced.store(true, std::memory_order_release);
    }
}

void RegionClient::allow_concurrent_calls() noexcept {
    std::lock_guard lock(state_->renewal);
    state_->concurrent = true;
    current().peers->allow_concurrent_calls();
}

std::uint64_t RegionClient::next_request_id() const noexcept {
    const PeerTable& peers = *current().peers;
    return compose_request_id(peers.number(), peers.peek_next_counter());
}

Result<const Attachment*, ShmError> RegionClient::attach_afresh(const Attachment& seen) {
    std::lock_guard lock(state_->renewal);
    const Attachment* now = state_->current.load(std::memory_order_acquire);
    // Another call renewed it meanwhile.
    if (now != &seen) return now;
    auto fresh = make_attachment(seen.region->name(), state_->slot_lease);
    if (!fresh.ok()) return fail(std::move(fresh).error());
    // In a forked child the parent's attachment only holds the child's copies; after an engine
    // restart calls still in flight on the old one finish there. Request numbers continue from
    // the coordination object either way.
    const Attachment* installed = fresh.value().get();
    if (state_->concurrent) installed->peers->allow_concurrent_calls();
    state_->attachments.push_back(std::move(fresh).value());
    state_->region_replaced.store(false, std::memory_order_release);
    state_->current.store(installed, std::memory_order_release);
    return installed;
}

Result<SlotLease, StageError> RegionClient::stage_when_free(const Attachment& at, std::span<const std::int64_t> shape,
                                                           std::string_view dtype, std::span<const std::uint8_t> data,
                                                           InferHost& host, ClaimObserver& observer) {
    // Other calls of this client, or of others, hold the slots: they come back within a call.
    const auto deadline = std::chrono::steady_clock::now() + state_->slot_wait;
    for (;;) {
        std::this_thread::sleep_for(kSlotPoll);
        auto staged = stage_request_block(*at.region, *at.allocator, shape, dtype, data, &observer);
        if (staged.ok() || !staged.error().pool_exhausted || std::chrono::steady_clock::now() >= deadline) {
            return staged;
        }
        if (!host.run_pending_handlers()) {
            return fail(StageError{.invalid_argument = false, .message = {}, .host_error = true});
        }
    }
}

inline Result<const Attachment*, InferError> RegionClient::attachment_for_call() {
    const Attachment* at = &current();
    if (fork_generation() != at->fork_generation || state_->region_replaced.load(std::memory_order_relaxed))
        [[unlikely]] {
        auto renewed = attach_afresh(*at);
        if (!renewed.ok()) return fail(InferError{InferError::Kind::Attach, renewed.error().display()});
        at = renewed.value();
    }
    return at;
}

[[gnu::always_inline]] inline Result<Unit, InferError> RegionClient::stage(RegionCall& call, std::span<const std::int64_t> shape,
                                                    std::string_view dtype, std::span<const std::uint8_t> data,
                                                    InferHost& host, bool* retry_later) {
    const Attachment& at = *call.request.attachment;
    auto staged = stage_request_block(*at.region, *at.allocator, shape, dtype, data, &call);
    // Waiting helps only while some slot could hold the block at all.
    if (!staged.ok() && staged.error().pool_exhausted && state_->slot_wait.count() > 0 &&
        call.request.tensor_size <= at.allocator->largest_slot_size()) [[unlikely]] {
        if (retry_later != nullptr) {
            *retry_later = true;
            return fail(InferError::runtime(std::move(staged).error().message));
        }
        staged = stage_when_free(at, shape, dtype, data, host, call);
    }
    if (!staged.ok()) {
        if (staged.error().host_error) return fail(InferError{InferError::Kind::HostError, {}});
        const auto kind = staged.error().invalid_argument ? InferError::Kind::InvalidArgument : InferError::Kind::Runtime;
        return fail(InferError{kind, std::move(staged).error().message});
    }
    call.lease = std::move(staged).value();
    return Unit{};
}

[[gnu::always_inline]] inline Result<Unit, InferError> RegionClient::finish_call(
    RegionCall& call, Result<std::uint64_t, InferError>&& result_offset, InferHost& host) {
    if (!result_offset.ok()) return fail(std::move(result_offset).error());
    const Attachment& at = *call.request.attachment;
    // An answer that came after the slot's lease ran out (the process was stopped for that long)
    // may sit in a slot another client now holds.
    if (!at.allocator->holds(call.request.claim_index)) [[unlikely]] {
        call.lease.keep_until_expiry();
        return fail(InferError::runtime("Shared memory slot lease ended before the answer was read"));
    }

    auto result = read_tensor_data(at.region->bytes(), result_offset.value());
    if (!result.ok()) return fail(InferError::runtime(std::move(result).error()));
    // Taken while the slot is still leased: the engine may have answered into the request's slot.
    const auto header = result.value().data() - TENSOR_BLOCK_HEADER;  // read_tensor_data checked it
    if (!host.take_result_block({header, TENSOR_BLOCK_HEADER}, result.value())) {
        return fail(InferError{InferError::Kind::HostError, {}});
    }
    return Unit{};
}

Result<Unit, InferError> RegionClient::infer(std::span<const std::int64_t> shape, std::string_view dtype,
                                             std::span<const std::uint8_t> data, InferHost& host,
                                             Transport& transport) {
    auto at = attachment_for_call();
    if (!at.ok()) return fail(std::move(at).error());
    RegionCall call(*at.value(), data.size(), transport.records_calls());
    if (auto staged = stage(call, shape, dtype, data, host, nullptr); !staged.ok()) return staged;
    return finish_call(call, transport.hand_over(call.request, call.lease, host), host);
}

Result<Unit, InferError> RegionClient::end_call(RegionCall& call, Result<std::uint64_t, InferError>&& result_offset,
                                                InferHost& host) {
    return finish_call(call, std::move(result_offset), host);
}

Result<std::unique_ptr<RegionCall>, InferError> RegionClient::begin_call(std::span<const std::int64_t> shape,
                                                                         std::string_view dtype,
                                                                         std::span<const std::uint8_t> data,
                                                                         InferHost& host, bool records_calls,
                                                                         bool& retry_later) {
    retry_later = false;
    auto at = attachment_for_call();
    if (!at.ok()) return fail(std::move(at).error());
    auto call = std::make_unique<RegionCall>(*at.value(), data.size(), records_calls);
    if (auto staged = stage(*call, shape, dtype, data, host, &retry_later); !staged.ok()) {
        return fail(std::move(staged).error());
    }
    return call;
}

}  // namespace zorvo::shm
