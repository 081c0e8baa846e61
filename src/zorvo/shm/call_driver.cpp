#include "zorvo/shm/call_driver.hpp"

#include <time.h>

#include <algorithm>
#include <system_error>

#include "zorvo/shm/cpu_relax.hpp"
#include "zorvo/shm/response_consumer.hpp"
#include "zorvo/shm/tensor_block.hpp"

namespace zorvo::shm {
namespace {

using Clock = std::chrono::steady_clock;

// With calls waiting, the driver spins this long after the last answer, then sleeps for a
// doubling time up to kLongestSleep between rounds: one poller for many calls backs off less than
// each of them would alone.
constexpr auto kSpin = std::chrono::microseconds(20);
constexpr auto kLongestSleep = std::chrono::microseconds(50);
// A call that found every fitting slot leased tries again this often, as a blocking call does.
constexpr auto kSlotRetry = std::chrono::microseconds(50);

void sleep_for(std::chrono::nanoseconds duration) noexcept {
    const timespec pause{0, static_cast<long>(duration.count())};
    ::nanosleep(&pause, nullptr);
}

}  // namespace

ShmCallDriver::~ShmCallDriver() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    work_.notify_one();
    if (thread_.joinable()) thread_.join();
}

Result<Unit, SystemError> ShmCallDriver::submit(Call& call) {
    std::lock_guard lock(mutex_);
    if (!thread_.joinable()) {
        try {
            thread_ = std::thread(&ShmCallDriver::run, this);
        } catch (const std::system_error& error) {
            return fail(SystemError::from_errno(error.code().value()));
        }
    }
    incoming_.push_back(&call);
    work_.notify_one();
    return Unit{};
}

void ShmCallDriver::begin(Call& call, std::vector<Call*>& waiting, std::vector<Call*>& without_slot) {
    RegionClient& client = core_->region_client();
    bool pool_exhausted = false;
    auto staged = client.begin_call(call.shape_, call.dtype_, call.data_, call.host_, true, pool_exhausted);
    const auto now = Clock::now();
    if (!staged.ok()) {
        // A full pool is likely this client's own calls: they give their slots back within a call.
        if (pool_exhausted && now - call.started_ < client.slot_wait()) {
            without_slot.push_back(&call);
            return;
        }
        call.done(fail(std::move(staged).error()));
        return;
    }
    call.region_call_ = std::move(staged).value();
    RegionCall& region_call = *call.region_call_;
    if (auto announced = core_->announce(region_call.request, region_call.lease, call.host_); !announced.ok()) {
        call.region_call_.reset();
        call.done(fail(std::move(announced).error()));
        return;
    }
    call.renew_at_ = now + core_->timing().slot_lease / 3;
    waiting.push_back(&call);
}

void ShmCallDriver::end(Call& call, Result<std::uint64_t, InferError> outcome, bool answered) {
    RegionCall& region_call = *call.region_call_;
    auto offset = core_->conclude(region_call.request, region_call.lease, std::move(outcome), answered);
    auto result = core_->region_client().end_call(region_call, std::move(offset), call.host_);
    call.region_call_.reset();  // the lease goes, then the cell
    call.done(std::move(result));
}

bool ShmCallDriver::poll(std::vector<Call*>& waiting, Clock::time_point now) {
    bool ended = false;
    // Every call of one attachment shares its response queue; after an engine restart the calls
    // still on the old one are polled there.
    const Attachment* polled = nullptr;
    for (Call* call : waiting) {
        const Attachment& at = *call->region_call_->request.attachment;
        if (&at == polled) continue;
        polled = &at;
        const ResponseQueue responses(at.region->base() + at.region->header().response_queue_offset);
        ResponseConsumer consumer(*at.peers, responses);
        for (unsigned popped_count = 0; popped_count < waiting.size(); ++popped_count) {
            auto popped = consumer.pop(now);
            if (!popped.ok() || !popped.value()) break;
            // Handed to whichever call awaits it (this driver's included), dropped if none does.
            at.peers->hand_over(*popped.value());
        }
    }
    const auto timeout = core_->timing().response_timeout;
    for (std::size_t i = 0; i < waiting.size();) {
        Call& call = *waiting[i];
        const StagedRequest& request = call.region_call_->request;
        const Attachment& at = *request.attachment;
        std::optional<Result<std::uint64_t, InferError>> outcome;
        bool answered = false;
        if (auto handed = at.peers->collect(request.cell, request_counter(request.id));
            handed && handed->request_id == request.id) {
            answered = true;
            outcome.emplace(read_answer(*handed, at.region->bytes()));
        } else if (now - call.started_ >= timeout) {
            outcome.emplace(fail(InferError{InferError::Kind::Timeout, "Request timed out"}));
        } else if (now >= call.renew_at_) [[unlikely]] {
            // A call still waiting keeps its slot: the engine may yet read it or answer into it.
            at.allocator->renew(request.claim_index);
            call.renew_at_ = now + core_->timing().slot_lease / 3;
        }
        if (!outcome) {
            ++i;
            continue;
        }
        waiting[i] = waiting.back();
        waiting.pop_back();
        end(call, std::move(*outcome), answered);
        ended = true;
    }
    return ended;
}

void ShmCallDriver::run() noexcept {
    std::vector<Call*> arrived;
    std::vector<Call*> waiting;
    std::vector<Call*> without_slot;
    auto last_progress = Clock::now();
    auto next_slot_retry = last_progress;
    std::chrono::nanoseconds sleep = std::chrono::microseconds(1);
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            if (incoming_.empty() && waiting.empty() && without_slot.empty()) {
                if (stopping_) return;
                work_.wait(lock, [&] { return !incoming_.empty() || stopping_; });
                if (incoming_.empty()) return;
            }
            arrived.swap(incoming_);
        }
        auto now = Clock::now();
        for (Call* call : arrived) {
            call->started_ = now;
            begin(*call, waiting, without_slot);
        }
        bool progress = !arrived.empty();
        arrived.clear();
        if (!without_slot.empty() && now >= next_slot_retry) {
            std::vector<Call*> retry;
            retry.swap(without_slot);
            for (Call* call : retry) begin(*call, waiting, without_slot);
            next_slot_retry = now + kSlotRetry;
        }
        if (!waiting.empty() && poll(waiting, now)) progress = true;
        if (progress) {
            last_progress = now;
            sleep = std::chrono::microseconds(1);
        } else if (now - last_progress < kSpin) {
            cpu_relax();
        } else {
            sleep_for(sleep);
            sleep = std::min<std::chrono::nanoseconds>(sleep * 2, kLongestSleep);
        }
    }
}

}  // namespace zorvo::shm
