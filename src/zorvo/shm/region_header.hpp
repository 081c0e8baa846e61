#pragma once

#include <cstdint>
#include <span>

#include "zorvo/common/result.hpp"
#include "zorvo/shm/shm_error.hpp"

namespace zorvo::shm {

inline constexpr std::uint32_t SHM_MAGIC = 0x41494D4F;
inline constexpr std::uint32_t SHM_VERSION = 1;
inline constexpr std::size_t REGION_HEADER_SIZE = 44;

// The engine-written header at offset 0 of every region.
struct RegionHeader {
    std::uint32_t magic = SHM_MAGIC;
    std::uint32_t version = SHM_VERSION;
    std::uint64_t request_queue_offset = 0;
    std::uint64_t response_queue_offset = 0;
    std::uint64_t tensor_pool_offset = 0;
    std::uint64_t tensor_pool_size = 0;
    std::int32_t notify_fd = -1;
};

RegionHeader decode_region_header(std::span<const std::uint8_t, REGION_HEADER_SIZE> bytes) noexcept;
void encode_region_header(const RegionHeader& header,
                          std::span<std::uint8_t, REGION_HEADER_SIZE> bytes) noexcept;

// Checks a mapped region before anyone trusts it: magic first, then version, then that the header,
// both queues and the tensor pool lie inside the mapping (queues 8-byte aligned for their atomics).
Result<RegionHeader, ShmError> validate_region(std::span<const std::uint8_t> mapping);

}  // namespace zorvo::shm
