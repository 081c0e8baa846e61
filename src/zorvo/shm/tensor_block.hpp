#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "zorvo/common/result.hpp"
#include "zorvo/wire/dtype.hpp"

namespace zorvo::shm {

// A tensor block is this header followed by `data_len` data bytes.
inline constexpr std::uint64_t TENSOR_BLOCK_HEADER = 80;
inline constexpr std::size_t MAX_TENSOR_DIMS = 8;

// The region's own element type codes; only four exist, the other types share code 0.
std::uint8_t dtype_code(wire::TensorDtype dtype) noexcept;

// The ValueError text for a shape that cannot be written into a block.
std::string too_many_dimensions_message(std::size_t ndim);

// Writes the block for `shape`/`dtype`/`data` at `offset` of `region`, copying the data once.
// Fails (and writes nothing) when the shape has more than 8 dimensions or the block would not fit.
Result<Unit, std::string> write_tensor_block(std::span<std::uint8_t> region, std::uint64_t offset,
                                             std::span<const std::int64_t> shape,
                                             wire::TensorDtype dtype,
                                             std::span<const std::uint8_t> data);

// The data bytes of the block at `offset`, provided header and data lie inside `region`.
Result<std::span<const std::uint8_t>, std::string> read_tensor_data(
    std::span<const std::uint8_t> region, std::uint64_t offset);

// What a block's header says about its tensor. `dtype_code` 0 stands for float32, float16, uint8
// and string alike; 1 float64, 2 int32, 3 int64. Only the first min(ndim, 8) dims are read.
struct TensorHeader {
    std::uint32_t ndim;
    std::uint8_t dtype_code;
    std::array<std::int64_t, MAX_TENSOR_DIMS> dims;
    std::uint64_t data_len;
};

// Reads a block header (`header` holds at least TENSOR_BLOCK_HEADER bytes).
TensorHeader read_tensor_header(std::span<const std::uint8_t> header) noexcept;

// The text of the error text block at `offset` (u64 length, then bytes), decoded as lossy UTF-8,
// provided the block lies inside `region`.
Result<std::string, std::string> read_error_text(std::span<const std::uint8_t> region,
                                                 std::uint64_t offset);

}  // namespace zorvo::shm
