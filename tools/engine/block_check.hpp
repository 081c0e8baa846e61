#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "zorvo/shm/region_header.hpp"

namespace zorvo::engine {

// Checks a client's announcement of a tensor block before the engine answers with it: the block
// must lie wholly inside the tensor pool, be large enough for its header, declare at most 8
// dimensions and no more data than its announced size holds. Returns the reason when it does not.
std::optional<std::string> check_request_block(std::span<const std::uint8_t> region, const shm::RegionHeader& layout,
                                               std::uint64_t tensor_offset, std::uint64_t tensor_size);

// True when the block of `tensor_size` bytes at `tensor_offset` lies wholly inside the tensor pool.
bool block_in_pool(const shm::RegionHeader& layout, std::uint64_t tensor_offset, std::uint64_t tensor_size) noexcept;

}  // namespace zorvo::engine
