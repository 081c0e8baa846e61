#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "zorvo/common/result.hpp"
#include "zorvo/hybrid/exchange.hpp"
#include "zorvo/hybrid/runtime.hpp"
#include "zorvo/shm/allocator.hpp"
#include "zorvo/shm/region.hpp"

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

// Why one inference failed.
struct InferError {
    enum class Kind {
        InvalidArgument,  // unknown element type or unrepresentable shape (ValueError)
        Runtime,          // pool exhausted, exchange failed, result block outside the region (RuntimeError)
        HostError,        // the result sink failed; the host has its own error pending
    };
    Kind kind;
    std::string message;
};

// The hybrid client without any host runtime: tensors go through the region, and one small control
// exchange per inference runs on the client's own asynchronous runtime.
class HybridClientCore {
public:
    static Result<std::unique_ptr<HybridClientCore>, SetupError> connect(
        std::string_view shm_name, std::string socket_path,
        std::size_t worker_count = Runtime::default_worker_count());

    HybridClientCore(std::shared_ptr<const shm::ShmManager> region, std::string socket_path,
                     std::unique_ptr<Runtime> runtime);
    HybridClientCore(const HybridClientCore&) = delete;
    HybridClientCore& operator=(const HybridClientCore&) = delete;

    // Receives the result data in the region, while the request slot is still held; false when
    // the host could not take it.
    using ResultSink = std::function<bool(std::span<const std::uint8_t>)>;

    // Writes the tensor into a leased slot, announces it to the engine and hands the result data
    // to `take_result`. The request number advances on every call; the slot is always given back.
    Result<Unit, InferError> infer(std::span<const std::int64_t> shape, std::string_view dtype,
                                   std::span<const std::uint8_t> data, const ResultSink& take_result);

    std::uint64_t next_request_id() const noexcept { return next_request_id_; }
    shm::TieredShmAllocator& allocator() noexcept { return allocator_; }
    const shm::ShmManager& region() const noexcept { return *region_; }
    const ControlConnection& control() const noexcept { return *control_; }

private:
    // Declared in reverse order of destruction: the region handle goes first, the runtime (whose
    // workers may still hold the last reference to the control connection) last.
    std::uint64_t next_request_id_ = 1;
    std::unique_ptr<Runtime> runtime_;
    std::shared_ptr<ControlConnection> control_;
    std::string socket_path_;
    shm::TieredShmAllocator allocator_;
    std::shared_ptr<const shm::ShmManager> region_;
};

}  // namespace zorvo::hybrid
