#pragma once

#include <cstdint>
#include <span>

namespace zorvo::shm {

// What the embedding host supplies around the blocking parts of a shared-memory call, so the
// transport core stays free of any particular host runtime.
class InferHost {
public:
    virtual ~InferHost() = default;

    // The request's bytes are in the region and the request is on its way: the host may let go of
    // the caller's buffer now, so that nothing stays pinned while the call waits for the engine.
    virtual void request_staged() noexcept {}

    // Bracket the readiness wait so other host threads can run while this one sleeps.
    virtual void release_host_lock() noexcept {}
    virtual void reacquire_host_lock() noexcept {}

    // Called once per polling round. False when a host handler failed; its error stays pending
    // in the host and the call ends.
    virtual bool run_pending_handlers() { return true; }

    // Receives the result data while the request's slot is still held. False when the host could
    // not take it; its error stays pending in the host.
    virtual bool take_result(std::span<const std::uint8_t> data) = 0;

    // The same, with the result block's header (TENSOR_BLOCK_HEADER bytes, see
    // read_tensor_header) for hosts that keep the result's shape and element type.
    virtual bool take_result_block(std::span<const std::uint8_t> header, std::span<const std::uint8_t> data) {
        static_cast<void>(header);
        return take_result(data);
    }
};

// Releases the host lock for the lifetime of the guard.
class HostLockReleased {
public:
    explicit HostLockReleased(InferHost& host) noexcept : host_(host) { host_.release_host_lock(); }
    ~HostLockReleased() { host_.reacquire_host_lock(); }
    HostLockReleased(const HostLockReleased&) = delete;
    HostLockReleased& operator=(const HostLockReleased&) = delete;

private:
    InferHost& host_;
};

}  // namespace zorvo::shm
