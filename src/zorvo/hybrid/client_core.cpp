#include "zorvo/hybrid/client_core.hpp"

#include "zorvo/shm/request_block.hpp"
#include "zorvo/shm/slot_lease.hpp"
#include "zorvo/shm/tensor_block.hpp"
#include "zorvo/wire/transport_metadata.hpp"

namespace zorvo::hybrid {

namespace {

InferError runtime_error(std::string message) { return InferError{InferError::Kind::Runtime, std::move(message)}; }

}  // namespace

Result<std::unique_ptr<HybridClientCore>, SetupError> HybridClientCore::connect(std::string_view shm_name,
                                                                                std::string socket_path,
                                                                                std::size_t worker_count) {
    auto region = shm::ShmManager::connect(shm_name);
    if (!region.ok()) return fail(SetupError{SetupError::Kind::Attach, region.error().display()});
    auto shared_region = std::make_shared<const shm::ShmManager>(std::move(region).value());
    auto runtime = Runtime::create(worker_count);
    if (!runtime.ok()) return fail(SetupError{SetupError::Kind::Runtime, runtime.error().display()});
    return std::make_unique<HybridClientCore>(std::move(shared_region), std::move(socket_path),
                                              std::move(runtime).value());
}

HybridClientCore::HybridClientCore(std::shared_ptr<const shm::ShmManager> region, std::string socket_path,
                                   std::unique_ptr<Runtime> runtime)
    : runtime_(std::move(runtime)),
      control_(std::make_shared<ControlConnection>()),
      socket_path_(std::move(socket_path)),
      allocator_(shm::TieredShmAllocator::new_with_default_classes(
          region->header().tensor_pool_offset, region->header().tensor_pool_size, shm::SLOT_LEASE)),
      region_(std::move(region)) {}

Result<Unit, InferError> HybridClientCore::infer(std::span<const std::int64_t> shape, std::string_view dtype,
                                                std::span<const std::uint8_t> data, const ResultSink& take_result) {
    const std::uint64_t id = next_request_id_++;

    auto staged = shm::stage_request_block(*region_, allocator_, shape, dtype, data);
    if (!staged.ok()) {
        const auto kind = staged.error().invalid_argument ? InferError::Kind::InvalidArgument : InferError::Kind::Runtime;
        return fail(InferError{kind, std::move(staged).error().message});
    }
    const std::uint64_t offset = staged.value();
    // Released when this call ends, whatever the outcome; the result is taken before that.
    shm::SlotLease slot(allocator_, offset);
    const std::uint64_t required = std::uint64_t{data.size()} + shm::TENSOR_BLOCK_HEADER;

    const HybridRequest request{
        .metadata = wire::TransportRequestMetadata::create(id, 0, 0, 0),
        .tensor_offset = offset,
        .tensor_size = required,
    };
    auto response = runtime_->block_on(exchange(*runtime_, socket_path_, control_, request));
    if (!response.ok()) return fail(runtime_error(std::move(response).error()));

    auto result = shm::read_tensor_data(region_->bytes(), response->result_offset);
    if (!result.ok()) return fail(runtime_error(std::move(result).error()));
    // Taken while the slot is still leased: the engine may have answered into the request's slot.
    if (!take_result(result.value())) return fail(InferError{InferError::Kind::HostError, {}});
    return Unit{};
}

}  // namespace zorvo::hybrid
