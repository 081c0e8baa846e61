#include "zorvo/hybrid/client_core.hpp"

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
                                              std::move(runtime).value());
}

HybridClientCore::HybridClientCore(shm::RegionClient region, std::string socket_path, std::unique_ptr<Runtime> runtime)
    : runtime_(std::move(runtime)),
      control_(std::make_shared<ControlConnection>()),
      socket_path_(std::move(socket_path)),
      region_(std::move(region)) {}

Result<std::uint64_t, shm::InferError> HybridClientCore::hand_over(const shm::StagedRequest& request,
                                                                   shm::SlotLease&, shm::InferHost&) {
    // The answer arrives on this client's own connection, so the slot is given back however the
    // exchange ends.
    const HybridRequest hybrid_request{
        .metadata = wire::TransportRequestMetadata::create(request.id, 0, 0, 0),
        .tensor_offset = request.tensor_offset,
        .tensor_size = request.tensor_size,
    };
    auto response = runtime_->block_on(exchange(*runtime_, socket_path_, control_, hybrid_request));
    if (!response.ok()) return fail(shm::InferError::runtime(std::move(response).error()));
    return response->result_offset;
}

}  // namespace zorvo::hybrid
