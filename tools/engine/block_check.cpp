#include "block_check.hpp"

#include "zorvo/common/little_endian.hpp"
#include "zorvo/shm/tensor_block.hpp"

namespace zorvo::engine {

namespace {

constexpr std::size_t kNdimOffset = 0;
constexpr std::size_t kDataLenOffset = 72;

std::string block_name(std::uint64_t offset, std::uint64_t size) {
    return "tensor block at offset " + std::to_string(offset) + " of size " + std::to_string(size);
}

}  // namespace

bool block_in_pool(const shm::RegionHeader& layout, std::uint64_t tensor_offset, std::uint64_t tensor_size) noexcept {
    return tensor_offset >= layout.tensor_pool_offset &&
           range_inside(tensor_offset - layout.tensor_pool_offset, tensor_size, layout.tensor_pool_size);
}

std::optional<std::string> check_request_block(std::span<const std::uint8_t> region, const shm::RegionHeader& layout,
                                               std::uint64_t tensor_offset, std::uint64_t tensor_size) {
    if (!block_in_pool(layout, tensor_offset, tensor_size) || !range_inside(tensor_offset, tensor_size, region.size())) {
        return block_name(tensor_offset, tensor_size) + " lies outside the tensor pool [" +
               std::to_string(layout.tensor_pool_offset) + ", " +
               std::to_string(layout.tensor_pool_offset + layout.tensor_pool_size) + ")";
    }
    if (tensor_size < shm::TENSOR_BLOCK_HEADER) {
        return block_name(tensor_offset, tensor_size) + " is smaller than its " +
               std::to_string(shm::TENSOR_BLOCK_HEADER) + "-byte header";
    }
    const std::uint8_t* block = region.data() + tensor_offset;
    const auto ndim = load_le<std::uint32_t>(block + kNdimOffset);
    if (ndim > shm::MAX_TENSOR_DIMS) {
        return block_name(tensor_offset, tensor_size) + " declares " + std::to_string(ndim) +
               " dimensions; at most " + std::to_string(shm::MAX_TENSOR_DIMS) + " fit";
    }
    const auto data_len = load_le<std::uint64_t>(block + kDataLenOffset);
    if (data_len > tensor_size - shm::TENSOR_BLOCK_HEADER) {
        return block_name(tensor_offset, tensor_size) + " declares " + std::to_string(data_len) +
               " data bytes, more than its size holds";
    }
    return std::nullopt;
}

}  // namespace zorvo::engine
