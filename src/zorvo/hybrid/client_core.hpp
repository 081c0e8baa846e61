#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "zorvo/common/result.hpp"
#include "zorvo/hybrid/exchange.hpp"
#include "zorvo/hybrid/runtime.hpp"
#include "zorvo/shm/infer_error.hpp"
#include "zorvo/shm/infer_host.hpp"
#include "zorvo/shm/region_client.hpp"

namespace zorvo::hybrid {

// Why a hybrid client could not be built.
struct SetupError {
    enum class Kind {
        Attach,   // the region could not be attached (ConnectionError)
        Runtime,  // the runtime's threads or descriptors could not be created (RuntimeError)
    };
    Kind kind;
    std::string message;
};

// The hybrid client without any host runtime: a region client whose requests are announced by one
// small control exchange per inference, run on the client's own asynchronous runtime.
class HybridClientCore final : private shm::Transport {
public:
    static Result<std::unique_ptr<HybridClientCore>, SetupError> connect(
        std::string_view shm_name, std::string socket_path,
        std::size_t worker_count = Runtime::default_worker_count());

    HybridClientCore(shm::RegionClient region, std::string socket_path, std::unique_ptr<Runtime> runtime,
                     std::size_t worker_count);
    ~HybridClientCore();
    HybridClientCore(const HybridClientCore&) = delete;
    HybridClientCore& operator=(const HybridClientCore&) = delete;

    // Writes the tensor into a leased slot, announces it to the engine and hands the result data
    // to `host.take_result`. The request number advances on every call; the slot is always given back.
    Result<Unit, shm::InferError> infer(std::span<const std::int64_t> shape, std::string_view dtype,
                                        std::span<const std::uint8_t> data, shm::InferHost& host);

    std::uint64_t next_request_id() const noexcept { return region_.next_request_id(); }
    shm::TieredShmAllocator& allocator() noexcept { return region_.allocator(); }
    const shm::ShmManager& region() const noexcept { return region_.region(); }
    const ControlConnection& control() const noexcept { return *control_; }

private:
    Result<std::uint64_t, shm::InferError> hand_over(const shm::StagedRequest& request, shm::SlotLease& lease,
                                                     shm::InferHost& host) override;
    Result<Unit, shm::InferError> start_afresh_after_fork();

    // Declared in reverse order of destruction: the region goes first, the runtime (whose workers
    // may still hold the last reference to the control connection) last.
    std::size_t worker_count_;
    // Set by a failed exchange: the next call may reconnect, possibly to a restarted engine.
    bool exchange_failed_ = false;
    std::unique_ptr<Runtime> runtime_;
    std::uint64_t runtime_fork_generation_;  // of the process whose threads the runtime runs
    std::shared_ptr<ControlConnection> control_;
    std::string socket_path_;
    shm::RegionClient region_;
};

}  // namespace zorvo::hybrid
