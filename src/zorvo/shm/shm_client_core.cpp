#include "zorvo/shm/shm_client_core.hpp"

#include <time.h>

#include "zorvo/shm/cpu_relax.hpp"
#include "zorvo/shm/readiness_wait.hpp"
#include "zorvo/shm/request_block.hpp"
#include "zorvo/shm/ring_buffer.hpp"
#include "zorvo/shm/slot_lease.hpp"
#include "zorvo/shm/tensor_block.hpp"
#include "zorvo/wire/transport_metadata.hpp"

namespace zorvo::shm {

namespace {

using Clock = std::chrono::steady_clock;

InferError runtime_error(std::string message) {
    return InferError{InferError::Kind::Runtime, std::move(message)};
}

void sleep_one_microsecond() noexcept {
    const timespec pause{0, 1000};
    ::nanosleep(&pause, nullptr);
}

}  // namespace

Result<ShmClientCore, ShmError> ShmClientCore::connect(std::string_view name,
                                                       const ShmClientTiming& timing) {
    auto region = ShmManager::connect(name);
    if (!region.ok()) return fail(std::move(region).error());
    return ShmClientCore(std::make_shared<const ShmManager>(std::move(region).value()), timing);
}

ShmClientCore::ShmClientCore(std::shared_ptr<const ShmManager> region, const ShmClientTiming& timing)
    : region_(std::move(region)),
      allocator_(TieredShmAllocator::new_with_default_classes(
          region_->header().tensor_pool_offset, region_->header().tensor_pool_size,
          timing.slot_lease)),
      timing_(timing) {}

Result<Unit, InferError> ShmClientCore::infer(std::span<const std::int64_t> shape,
                                              std::string_view dtype,
                                              std::span<const std::uint8_t> data, InferHost& host) {
    const std::uint64_t id = next_request_id_++;

    auto staged = stage_request_block(*region_, allocator_, shape, dtype, data);
    if (!staged.ok()) {
        const auto kind = staged.error().invalid_argument ? InferError::Kind::InvalidArgument : InferError::Kind::Runtime;
        return fail(InferError{kind, std::move(staged).error().message});
    }
    const std::uint64_t offset = staged.value();
    SlotLease slot(allocator_, offset);
    const std::uint64_t required = std::uint64_t{data.size()} + TENSOR_BLOCK_HEADER;

    const ShmRequestEntry entry{
        .request_id = id,
        .timestamp_ns = wire::wall_clock_ns(),
        .tensor_offset = offset,
        .tensor_size = required,
    };
    const RequestQueue requests(region_->base() + region_->header().request_queue_offset);
    if (auto pushed = requests.push(entry); !pushed.ok()) {
        return fail(runtime_error(pushed.error().display()));
    }

    // The engine may read the slot, or write its answer into it, from now on: unless it answers,
    // the slot stays leased until the lease runs out.
    slot.keep_until_expiry();
    wait_for_readiness(region_->header().notify_fd, timing_.readiness_wait, host);
    bool answered = false;
    auto outcome = await_response(id, host, answered);
    if (answered) slot.release_on_exit();
    return outcome;
}

Result<Unit, InferError> ShmClientCore::await_response(std::uint64_t id, InferHost& host,
                                                       bool& answered) {
    const ResponseQueue responses(region_->base() + region_->header().response_queue_offset);
    const auto region_bytes = std::span<const std::uint8_t>(region_->bytes());
    const auto start = Clock::now();
    for (;;) {
        auto popped = responses.try_pop();
        if (!popped.ok()) return fail(runtime_error(popped.error().display()));
        if (const auto& entry = popped.value(); entry && entry->request_id == id) {
            answered = true;
            if (entry->is_error != 0) {
                if (entry->error_offset == 0) return fail(runtime_error("Unknown error"));
                auto text = read_error_text(region_bytes, entry->error_offset);
                return fail(runtime_error(text.ok() ? std::move(text).value()
                                                    : std::move(text).error()));
            }
            auto result = read_tensor_data(region_bytes, entry->result_offset);
            if (!result.ok()) return fail(runtime_error(std::move(result).error()));
            if (!host.take_result(result.value())) return fail(InferError{InferError::Kind::HostError, {}});
            return Unit{};
        }
        // Empty, or an answer to someone else's request, which is dropped.
        const auto elapsed = Clock::now() - start;
        if (elapsed >= timing_.response_timeout) {
            return fail(InferError{InferError::Kind::Timeout, "Request timed out"});
        }
        if (!host.run_pending_handlers()) return fail(InferError{InferError::Kind::HostError, {}});
        if (elapsed < timing_.spin_before_sleep) {
            cpu_relax();  // one pause per round: each extra one delays noticing an answer
        } else {
            sleep_one_microsecond();
        }
    }
}

}  // namespace zorvo::shm
