#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "zorvo/common/result.hpp"
#include "zorvo/shm/allocator.hpp"
#include "zorvo/shm/infer_host.hpp"
#include "zorvo/shm/region.hpp"
#include "zorvo/shm/shm_error.hpp"

namespace zorvo::shm {

// Why an inference through the shared-memory queues failed.
struct InferError {
    enum class Kind {
        InvalidArgument,  // bad element type name or unrepresentable shape
        Runtime,          // pool exhausted, queue trouble, engine error, bad result block
        Timeout,          // no matching response in time
        HostError,        // a host callback failed; the host holds the error
    };
    Kind kind;
    std::string message;
};

struct ShmClientTiming {
    std::chrono::nanoseconds slot_lease = SLOT_LEASE;
    std::chrono::milliseconds readiness_wait = std::chrono::seconds(5);
    // Polling ends once this much time has passed (whole elapsed seconds greater than 5).
    std::chrono::nanoseconds response_timeout = std::chrono::seconds(6);
    // Poll with pause hints for this long before falling back to microsecond sleeps: a plain
    // sleep costs tens of microseconds per round, far more than a typical answer takes.
    std::chrono::nanoseconds spin_before_sleep = std::chrono::microseconds(100);
};

// The shared-memory client without any host runtime: one region handle, one process-local
// allocator over its tensor pool, and the request counter.
class ShmClientCore {
public:
    static Result<ShmClientCore, ShmError> connect(std::string_view name,
                                                   const ShmClientTiming& timing = {});

    ShmClientCore(std::shared_ptr<const ShmManager> region, const ShmClientTiming& timing = {});

    // Writes the tensor into a leased slot, announces it and waits for the matching answer, whose
    // data goes to `host.take_result`. The request number advances on every call.
    Result<Unit, InferError> infer(std::span<const std::int64_t> shape, std::string_view dtype,
                                   std::span<const std::uint8_t> data, InferHost& host);

    std::uint64_t next_request_id() const noexcept { return next_request_id_; }
    TieredShmAllocator& allocator() noexcept { return allocator_; }
    const ShmManager& region() const noexcept { return *region_; }

private:
    Result<Unit, InferError> await_response(std::uint64_t id, InferHost& host, bool& answered);

    std::shared_ptr<const ShmManager> region_;
    TieredShmAllocator allocator_;
    ShmClientTiming timing_;
    std::uint64_t next_request_id_ = 1;
};

}  // namespace zorvo::shm
