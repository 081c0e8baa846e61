#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string_view>

#include "zorvo/common/result.hpp"
#include "zorvo/shm/infer_error.hpp"
#include "zorvo/shm/infer_host.hpp"
#include "zorvo/shm/region_client.hpp"
#include "zorvo/shm/shm_error.hpp"

namespace zorvo::shm {

struct ShmClientTiming {
    std::chrono::nanoseconds slot_lease = SLOT_LEASE;
    std::chrono::milliseconds readiness_wait = std::chrono::seconds(5);
    // Polling ends once this much time has passed (whole elapsed seconds greater than 5).
    std::chrono::nanoseconds response_timeout = std::chrono::seconds(6);
    // Poll with pause hints for this long before falling back to microsecond sleeps: a plain
    // sleep costs tens of microseconds per round, far more than a typical answer takes.
    std::chrono::nanoseconds spin_before_sleep = std::chrono::microseconds(100);
};

// The shared-memory client without any host runtime: a region client whose requests travel
// through the region's request and response queues.
class ShmClientCore final : private Transport {
public:
    static Result<ShmClientCore, ShmError> connect(std::string_view name, const ShmClientTiming& timing = {});

    // Writes the tensor into a leased slot, announces it and waits for the matching answer, whose
    // data goes to `host.take_result`. The request number advances on every call.
    Result<Unit, InferError> infer(std::span<const std::int64_t> shape, std::string_view dtype,
                                   std::span<const std::uint8_t> data, InferHost& host) {
        return client_.infer(shape, dtype, data, host, *this);
    }

    std::uint64_t next_request_id() const noexcept { return client_.next_request_id(); }
    TieredShmAllocator& allocator() noexcept { return client_.allocator(); }
    const ShmManager& region() const noexcept { return client_.region(); }
    const PeerTable& peers() const noexcept { return client_.peers(); }

private:
    ShmClientCore(RegionClient client, const ShmClientTiming& timing) noexcept
        : client_(std::move(client)), timing_(timing) {}

    Result<std::uint64_t, InferError> hand_over(const StagedRequest& request, SlotLease& lease,
                                                InferHost& host) override;
    void slot_claimed(StagedRequest& request) noexcept override;
    void call_ended(StagedRequest& request) noexcept override;
    Result<std::uint64_t, InferError> await_response(const StagedRequest& request, unsigned cell, SlotLease& lease,
                                                     InferHost& host, bool& answered);

    RegionClient client_;
    ShmClientTiming timing_;
};

}  // namespace zorvo::shm
