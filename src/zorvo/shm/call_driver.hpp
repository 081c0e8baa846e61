#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>
#include <thread>
#include <vector>

#include "zorvo/common/result.hpp"
#include "zorvo/common/system_error.hpp"
#include "zorvo/shm/async_call.hpp"
#include "zorvo/shm/infer_error.hpp"
#include "zorvo/shm/infer_host.hpp"
#include "zorvo/shm/region_client.hpp"
#include "zorvo/shm/shm_client_core.hpp"

namespace zorvo::shm {

class ResponseConsumer;

// Takes many calls of one shared-memory client through their steps on a thread of its own: each
// is staged and announced as it comes; then all waiting calls are polled together, so that one
// pop of the response queue serves every one of them; each ends once answered, failed or timed
// out, with the same outcome a blocking call would have. At most one call per mailbox cell of the
// client is announced at a time; more wait for a cell, as calls wait for a free slot. The thread never waits for one call in
// particular, and sleeps while no call is in flight.
class ShmCallDriver {
public:
    explicit ShmCallDriver(std::shared_ptr<ShmClientCore> core) noexcept;
    // Lets the calls in flight end first (each within its time limit), then stops the thread.
    ~ShmCallDriver();
    ShmCallDriver(const ShmCallDriver&) = delete;
    ShmCallDriver& operator=(const ShmCallDriver&) = delete;

    // From any thread. Fails only when the driver's thread cannot be started.
    Result<Unit, SystemError> submit(AsyncCall& call);

private:
    // A call as the driver tracks it.
    struct Tracked {
        AsyncCall* call;
        std::chrono::steady_clock::time_point started;
        std::chrono::steady_clock::time_point renew_at{};
        std::unique_ptr<RegionCall> region_call{};

        // Ends the call: its slot (if any) goes, then the caller hears.
        void finish(Result<Unit, InferError> outcome) noexcept {
            region_call.reset();
            call->done(std::move(outcome));
        }
    };

    template <class Step>
    static void guarded(AsyncCall& call, Step&& step) noexcept;
    struct Consumer;
    ResponseConsumer& consumer_for(const Attachment& at);
    void run() noexcept;
    void begin(Tracked tracked, std::vector<Tracked>& waiting, std::vector<Tracked>& without_slot);
    void end(Tracked& tracked, Result<std::uint64_t, InferError> outcome, bool answered);
    // One round over the waiting calls; true if any of them ended.
    bool poll(std::vector<Tracked>& waiting, std::chrono::steady_clock::time_point now);

    std::shared_ptr<ShmClientCore> core_;
    // One per attachment polled (a new one follows an engine restart); the driver's thread only.
    std::vector<std::unique_ptr<Consumer>> consumers_;
    std::mutex mutex_;
    std::condition_variable work_;
    std::vector<AsyncCall*> incoming_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace zorvo::shm
