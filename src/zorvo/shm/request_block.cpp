#include "zorvo/shm/request_block.hpp"

#include "zorvo/shm/tensor_block.hpp"
#include "zorvo/wire/dtype.hpp"

namespace zorvo::shm {

Result<SlotLease, StageError> stage_request_block(const ShmManager& region, TieredShmAllocator& allocator,
                                                      std::span<const std::int64_t> shape, std::string_view dtype,
                                                      std::span<const std::uint8_t> data,
                                                      ClaimObserver* observer) {
    if (shape.size() > MAX_TENSOR_DIMS) return fail(StageError{true, too_many_dimensions_message(shape.size())});
    const std::uint64_t required = std::uint64_t{data.size()} + TENSOR_BLOCK_HEADER;
    const auto claimed = allocator.claim(required);
    if (!claimed) return fail(StageError{false, pool_exhausted_message(required, allocator), true});
    const std::uint64_t offset = claimed->offset;
    SlotLease slot(allocator, offset);
    if (observer != nullptr) observer->claimed(offset, claimed->index);

    const auto parsed = wire::parse_dtype(dtype);
    if (!parsed.ok()) return fail(StageError{true, parsed.error().display()});
    if (auto written = write_tensor_block(region.bytes(), offset, shape, parsed.value(), data); !written.ok()) {
        return fail(StageError{false, std::move(written).error()});
    }
    return slot;
}

}  // namespace zorvo::shm
