#include "zorvo/shm/tensor_block.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>

#include "zorvo/common/text.hpp"
#include "zorvo/common/little_endian.hpp"

namespace zorvo::shm {

namespace {

constexpr std::size_t kDimsAt = 8;
constexpr std::size_t kDataLenAt = 72;

// `length` counts the bytes after the block's own header; unknown while the header itself is outside.
std::string outside(std::string_view what, std::uint64_t offset, std::uint64_t region_size,
                    std::optional<std::uint64_t> length = std::nullopt) {
    std::string text = std::string(what) + " at offset " + std::to_string(offset);
    if (length) text += " with length " + std::to_string(*length);
    return text + " lies outside the " + std::to_string(region_size) + "-byte shared memory region";
}

}  // namespace

std::uint8_t dtype_code(wire::TensorDtype dtype) noexcept {
    switch (dtype) {
        case wire::TensorDtype::Float64: return 1;
        case wire::TensorDtype::Int32: return 2;
        case wire::TensorDtype::Int64: return 3;
        default: return 0;
    }
}

std::string too_many_dimensions_message(std::size_t ndim) {
    return "shape has " + std::to_string(ndim) + " dimensions; at most " +
           std::to_string(MAX_TENSOR_DIMS) + " fit in a shared-memory tensor block";
}

Result<Unit, std::string> write_tensor_block(std::span<std::uint8_t> region, std::uint64_t offset,
                                             std::span<const std::int64_t> shape,
                                             wire::TensorDtype dtype,
                                             std::span<const std::uint8_t> data) {
    if (shape.size() > MAX_TENSOR_DIMS) return fail(too_many_dimensions_message(shape.size()));
    const std::uint64_t data_len = data.size();
    if (data_len > UINT64_MAX - TENSOR_BLOCK_HEADER ||
        !range_inside(offset, TENSOR_BLOCK_HEADER + data_len, region.size())) {
        return fail(outside("tensor block", offset, region.size(), data_len));
    }

    std::uint8_t* block = region.data() + offset;
    std::uint8_t header[TENSOR_BLOCK_HEADER] = {};
    store_le(header + 0, static_cast<std::uint32_t>(shape.size()));
    header[4] = dtype_code(dtype);
    for (std::size_t i = 0; i < shape.size(); ++i) store_le(header + kDimsAt + 8 * i, shape[i]);
    store_le(header + kDataLenAt, data_len);
    std::memcpy(block, header, sizeof header);
    if (!data.empty()) std::memcpy(block + TENSOR_BLOCK_HEADER, data.data(), data.size());
    return Unit{};
}

Result<std::span<const std::uint8_t>, std::string> read_tensor_data(
    std::span<const std::uint8_t> region, std::uint64_t offset) {
    if (!range_inside(offset, TENSOR_BLOCK_HEADER, region.size())) {
        return fail(outside("result tensor block", offset, region.size()));
    }
    const std::uint64_t data_len = load_le<std::uint64_t>(region.data() + offset + kDataLenAt);
    const std::uint64_t data_at = offset + TENSOR_BLOCK_HEADER;
    if (!range_inside(data_at, data_len, region.size())) {
        return fail(outside("result tensor block", offset, region.size(), data_len));
    }
    return region.subspan(static_cast<std::size_t>(data_at), static_cast<std::size_t>(data_len));
}

TensorHeader read_tensor_header(std::span<const std::uint8_t> header) noexcept {
    TensorHeader out{};
    out.ndim = load_le<std::uint32_t>(header.data());
    out.dtype_code = header[4];
    const std::size_t dims = std::min<std::size_t>(out.ndim, MAX_TENSOR_DIMS);
    for (std::size_t i = 0; i < dims; ++i) out.dims[i] = load_le<std::int64_t>(header.data() + kDimsAt + 8 * i);
    out.data_len = load_le<std::uint64_t>(header.data() + kDataLenAt);
    return out;
}

Result<std::string, std::string> read_error_text(std::span<const std::uint8_t> region,
                                                 std::uint64_t offset) {
    if (!range_inside(offset, 8, region.size())) {
        return fail(outside("error text block", offset, region.size()));
    }
    const std::uint64_t length = load_le<std::uint64_t>(region.data() + offset);
    if (!range_inside(offset + 8, length, region.size())) {
        return fail(outside("error text block", offset, region.size(), length));
    }
    return utf8_lossy(region.subspan(static_cast<std::size_t>(offset + 8), static_cast<std::size_t>(length)));
}

}  // namespace zorvo::shm
