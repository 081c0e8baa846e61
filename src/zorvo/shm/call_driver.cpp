#include "zorvo/shm/call_driver.hpp"

#include <time.h>

#include <algorithm>
#include <new>
#include <string>
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

}  // namespace

// The same consumer across rounds: it notices a lock holder that died or stopped only by seeing it
// hold the lock for a while.
struct ShmCallDriver::Consumer {
    explicit Consumer(const Attachment& attachment) noexcept
        : at(&attachment),
          queue(attachment.region->base() + attachment.region->header().response_queue_offset),
          consumer(*attachment.peers, queue) {}

    const Attachment* at;
    const ResponseQueue queue;
    ResponseConsumer consumer;
};

ShmCallDriver::ShmCallDriver(std::shared_ptr<ShmClientCore> core) noexcept : core_(std::move(core)) {}

ShmCallDriver::~ShmCallDriver() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    work_.notify_one();
    if (thread_.joinable()) thread_.join();
}

Result<Unit, SystemError> ShmCallDriver::submit(AsyncCall& call) {
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

// A failure inside a step (out of memory) ends that call, never the driver's thread.
template <class Step>
void ShmCallDriver::guarded(AsyncCall& call, Step&& step) noexcept {
    try {
        step();
    } catch (const std::bad_alloc&) {
        call.done(fail(InferError::runtime("out of memory")));
    } catch (const std::exception& fault) {
        call.done(fail(InferError::runtime(std::string("internal fault: ") + fault.what())));
    }
}

void ShmCallDriver::begin(Tracked tracked, std::vector<Tracked>& waiting, std::vector<Tracked>& without_slot) {
    // Each announced call holds one of the client's mailbox cells: the others wait their turn.
    if (waiting.size() >= PeerTable::CELLS) {
        without_slot.push_back(std::move(tracked));
        return;
    }
    RegionClient& client = core_->region_client();
    AsyncCall& call = *tracked.call;
    bool retry_later = false;
    auto staged = client.begin_call(call.shape(), call.dtype(), call.data(), call.host(), true, retry_later);
    const auto now = Clock::now();
    if (!staged.ok()) {
        // A full pool is likely this client's own calls: they give their slots back within a call.
        if (retry_later && now - tracked.started < client.slot_wait()) {
            without_slot.push_back(std::move(tracked));
            return;
        }
        tracked.finish(fail(std::move(staged).error()));
        return;
    }
    tracked.region_call = std::move(staged).value();
    RegionCall& region_call = *tracked.region_call;
    if (auto announced = core_->announce(region_call.request, region_call.lease, call.host()); !announced.ok()) {
        tracked.finish(fail(std::move(announced).error()));
        return;
    }
    tracked.renew_at = now + core_->timing().slot_lease / 3;
    waiting.push_back(std::move(tracked));  // never grows: see run()
}

void ShmCallDriver::end(Tracked& tracked, Result<std::uint64_t, InferError> outcome, bool answered) {
    RegionCall& region_call = *tracked.region_call;
    auto offset = core_->conclude(region_call.request, region_call.lease, std::move(outcome), answered);
    tracked.finish(core_->region_client().end_call(region_call, std::move(offset), tracked.call->host()));
}

ResponseConsumer& ShmCallDriver::consumer_for(const Attachment& at) {
    for (const auto& known : consumers_) {
        if (known->at == &at) return known->consumer;
    }
    return consumers_.emplace_back(std::make_unique<Consumer>(at))->consumer;
}

bool ShmCallDriver::poll(std::vector<Tracked>& waiting, Clock::time_point now) {
    bool ended = false;
    // Every call of one attachment shares its response queue; after an engine restart the calls
    // still on the old one are polled there.
    const Attachment* polled = nullptr;
    for (const Tracked& tracked : waiting) {
        const Attachment& at = *tracked.region_call->request.attachment;
        if (&at == polled) continue;
        polled = &at;
        ResponseConsumer& consumer = consumer_for(at);
        for (std::size_t popped_count = 0; popped_count < waiting.size(); ++popped_count) {
            // Handed to whichever call awaits it (this driver's included), dropped if none does.
            auto popped = consumer.pop(now);
            if (!popped.ok() || !popped.value().any) break;
        }
    }
    const auto timeout = core_->timing().response_timeout;
    for (std::size_t i = 0; i < waiting.size();) {
        Tracked& tracked = waiting[i];
        const StagedRequest& request = tracked.region_call->request;
        const Attachment& at = *request.attachment;
        std::optional<Result<std::uint64_t, InferError>> outcome;
        bool answered = false;
        if (auto handed = at.peers->collect(request.cell, request_counter(request.id));
            handed && handed->request_id == request.id) {
            answered = true;
            outcome.emplace(read_answer(*handed, at.region->bytes()));
        } else if (now - tracked.started >= timeout) {
            outcome.emplace(fail(InferError{InferError::Kind::Timeout, "Request timed out"}));
        } else if (now >= tracked.renew_at) [[unlikely]] {
            // A call still waiting keeps its slot: the engine may yet read it or answer into it.
            at.allocator->renew(request.claim_index);
            tracked.renew_at = now + core_->timing().slot_lease / 3;
        }
        if (!outcome) {
            ++i;
            continue;
        }
        Tracked ending = std::move(tracked);
        waiting[i] = std::move(waiting.back());
        waiting.pop_back();
        guarded(*ending.call, [&] { end(ending, std::move(*outcome), answered); });
        ended = true;
    }
    return ended;
}

void ShmCallDriver::run() noexcept {
    std::vector<AsyncCall*> arrived;
    std::vector<Tracked> waiting;
    std::vector<Tracked> without_slot;
    std::vector<Tracked> retry;
    // A client has at most one cell per call in flight, so `waiting` never grows once the thread
    // runs: no allocation can fail between announcing a call and keeping track of it.
    waiting.reserve(PeerTable::CELLS);
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
        for (AsyncCall* call : arrived) {
            guarded(*call, [&] { begin(Tracked{call, now}, waiting, without_slot); });
        }
        bool progress = !arrived.empty();
        arrived.clear();
        if (!without_slot.empty() && now >= next_slot_retry) {
            retry.swap(without_slot);
            for (Tracked& tracked : retry) {
                AsyncCall& call = *tracked.call;
                guarded(call, [&] { begin(std::move(tracked), waiting, without_slot); });
            }
            retry.clear();
            next_slot_retry = now + RegionClient::kSlotPoll;
        }
        if (!waiting.empty() && poll(waiting, now)) progress = true;
        if (progress) {
            last_progress = now;
            sleep = std::chrono::microseconds(1);
        } else if (now - last_progress < kSpin) {
            cpu_relax();
        } else {
            pause_for(sleep);
            sleep = std::min<std::chrono::nanoseconds>(sleep * 2, kLongestSleep);
        }
    }
}

}  // namespace zorvo::shm
