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
#include "zorvo/shm/infer_error.hpp"
#include "zorvo/shm/infer_host.hpp"
#include "zorvo/shm/region_client.hpp"
#include "zorvo/shm/shm_client_core.hpp"

namespace zorvo::shm {

// Takes many calls of one shared-memory client through their steps on a thread of its own: each
// is staged and announced as it comes; then all waiting calls are polled together, so that one
// pop of the response queue serves every one of them; each ends once answered, failed or timed
// out, with the same outcome a blocking call would have. The thread never waits for one call in
// particular, and sleeps while no call is in flight.
class ShmCallDriver {
public:
    // One call. The caller keeps it (and what it points to) alive until done() has been called.
    class Call {
    public:
        explicit Call(InferHost& host) noexcept : host_(host) {}
        virtual ~Call() = default;

        // The tensor to send, set before the call is submitted.
        void set_request(std::span<const std::int64_t> shape, std::string_view dtype,
                         std::span<const std::uint8_t> data) noexcept {
            shape_ = shape;
            dtype_ = dtype;
            data_ = data;
        }

        // On the driver's thread, once the call has ended; a result has gone to the host by then.
        virtual void done(Result<Unit, InferError> outcome) noexcept = 0;

    private:
        friend class ShmCallDriver;
        std::span<const std::int64_t> shape_;
        std::string_view dtype_;
        std::span<const std::uint8_t> data_;
        InferHost& host_;
        std::unique_ptr<RegionCall> region_call_;
        std::chrono::steady_clock::time_point started_{};
        std::chrono::steady_clock::time_point renew_at_{};
    };

    explicit ShmCallDriver(std::shared_ptr<ShmClientCore> core) noexcept : core_(std::move(core)) {}
    // Lets the calls in flight end first (each within its time limit), then stops the thread.
    ~ShmCallDriver();
    ShmCallDriver(const ShmCallDriver&) = delete;
    ShmCallDriver& operator=(const ShmCallDriver&) = delete;

    // From any thread. Fails only when the driver's thread cannot be started.
    Result<Unit, SystemError> submit(Call& call);

private:
    void run() noexcept;
    void begin(Call& call, std::vector<Call*>& waiting, std::vector<Call*>& without_slot);
    void end(Call& call, Result<std::uint64_t, InferError> outcome, bool answered);
    // One round over the waiting calls; true if any of them ended.
    bool poll(std::vector<Call*>& waiting, std::chrono::steady_clock::time_point now);

    std::shared_ptr<ShmClientCore> core_;
    std::mutex mutex_;
    std::condition_variable work_;
    std::vector<Call*> incoming_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace zorvo::shm
