#include "zorvo/hybrid/client_core.hpp"

#include "zorvo/common/fork_generation.hpp"
#include "zorvo/wire/transport_metadata.hpp"

namespace zorvo::hybrid {

Result<std::unique_ptr<HybridClientCore>, SetupError> HybridClientCore::connect(std::string_view shm_name,
                                                                                std::string socket_path,
                                                                                std::size_t worker_count) {
    auto region = shm::RegionClient::attach(shm_name);
    if (!region.ok()) return fail(SetupError{SetupError::Kind::Attach, region.error().display()});
    auto runtime = Runtime::create(worker_count);
    if (!runtime.ok()) return fail(SetupError{SetupError::Kind::Runtime, runtime.error().display()});
    return std::make_unique<HybridClientCore>(std::move(region).value(), std::move(socket_path),
                                              std::move(runtime).value(), worker_count);
}

HybridClientCore::HybridClientCore(shm::RegionClient region, std::string socket_path, std::unique_ptr<Runtime> runtime,
                                   std::size_t worker_count)
    : worker_count_(worker_count),
      runtime_(std::move(runtime)),
      runtime_fork_generation_(fork_generation()),
      control_(std::make_shared<ControlConnection>()),
      socket_path_(std::move(socket_path)),
      region_(std::move(region)) {}

HybridClientCore::~HybridClientCore() {
    // In a forked child the runtime's workers do not exist and any of its locks may have been
    // held at the fork: it is left alone, never joined or destroyed.
    if (fork_generation() != runtime_fork_generation_) static_cast<void>(runtime_.release());
}

Result<Unit, shm::InferError> HybridClientCore::start_afresh_after_fork() {
    static_cast<void>(runtime_.release());  // the parent's; see the destructor
    // The parent's connection goes with the last reference the child holds, closed, never shut
    // down, so the parent's exchanges go on undisturbed.
    control_ = std::make_shared<ControlConnection>();
    auto runtime = Runtime::create(worker_count_);
    if (!runtime.ok()) return fail(shm::InferError::runtime(runtime.error().display()));
    runtime_ = std::move(runtime).value();
    runtime_fork_generation_ = fork_generation();
    exchange_failed_ = false;
    return Unit{};
}

Result<Unit, shm::InferError> HybridClientCore::infer(std::span<const std::int64_t> shape, std::string_view dtype,
                                                      std::span<const std::uint8_t> data, shm::InferHost& host) {
    if (fork_generation() != runtime_fork_generation_) [[unlikely]] {
        if (auto fresh = start_afresh_after_fork(); !fresh.ok()) return fail(std::move(fresh).error());
    }
    if (exchange_failed_) [[unlikely]] {
        // This call reconnects if the connection broke: a restarted engine has a new region, and
        // offsets in the old one would name tensors it never sees.
        region_.check_for_restart();
        exchange_failed_ = false;
    }
    return region_.infer(shape, dtype, data, host, *this);
}

Result<std::uint64_t, shm::InferError> HybridClientCore::hand_over(const shm::StagedRequest& request,
                                                                   shm::SlotLease&, shm::InferHost& host) {
    host.request_staged();
    // The answer arrives on this client's own connection, so the slot is given back however the
    // exchange ends.
    const HybridRequest hybrid_request{
        .metadata = wire::TransportRequestMetadata::create(request.id, 0, 0, 0),
        .tensor_offset = request.tensor_offset,
        .tensor_size = request.tensor_size,
    };
    auto response = runtime_->block_on(exchange(*runtime_, socket_path_, control_, hybrid_request));
    if (!response.ok()) {
        exchange_failed_ = true;
        return fail(shm::InferError::runtime(std::move(response).error()));
    }
    return response->result_offset;
}

}  // namespace zorvo::hybrid
