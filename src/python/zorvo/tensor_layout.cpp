#include "tensor_layout.hpp"

#include <limits>

#include "zorvo/shm/tensor_block.hpp"

namespace zorvo::python {
namespace {

struct ItemFormat {
    const char* format;
    Py_ssize_t itemsize;
};

ItemFormat item_format(wire::TensorDtype dtype) noexcept {
    switch (dtype) {
        case wire::TensorDtype::Float32: return {"f", 4};
        case wire::TensorDtype::Float64: return {"d", 8};
        case wire::TensorDtype::Float16: return {"e", 2};
        case wire::TensorDtype::Int32: return {"i", 4};
        case wire::TensorDtype::Int64: return {"q", 8};
        case wire::TensorDtype::Uint8:
        case wire::TensorDtype::String: return {"B", 1};
    }
    return {"B", 1};
}

TensorLayout raw_bytes(std::size_t nbytes) {
    const auto length = static_cast<Py_ssize_t>(nbytes);
    return {{length}, {1}, "B", 1, wire::canonical_name(wire::TensorDtype::Uint8)};
}

// The element count of `shape`, or nullopt for a negative dimension or an overflowing product.
std::optional<std::uint64_t> element_count(std::span<const std::int64_t> shape) noexcept {
    std::uint64_t count = 1;
    for (const std::int64_t dim : shape) {
        if (dim < 0) return std::nullopt;
        const auto extent = static_cast<std::uint64_t>(dim);
        if (extent != 0 && count > std::numeric_limits<std::uint64_t>::max() / extent) return std::nullopt;
        count *= extent;
    }
    return count;
}

}  // namespace

TensorLayout describe_tensor(std::span<const std::int64_t> shape, std::optional<wire::TensorDtype> dtype,
                             std::size_t nbytes) {
    if (!dtype) return raw_bytes(nbytes);
    const ItemFormat item = item_format(*dtype);
    const auto count = element_count(shape);
    if (!count || *count > std::numeric_limits<std::uint64_t>::max() / static_cast<std::uint64_t>(item.itemsize) ||
        *count * static_cast<std::uint64_t>(item.itemsize) != nbytes) {
        return raw_bytes(nbytes);
    }
    TensorLayout layout{{}, {}, item.format, item.itemsize, wire::canonical_name(*dtype)};
    layout.shape.assign(shape.begin(), shape.end());  // each dim fits: their product is nbytes or 0
    layout.strides.resize(shape.size());
    // Unsigned: an empty tensor may have huge dims beside its zero, and its strides are never used.
    std::uint64_t stride = static_cast<std::uint64_t>(item.itemsize);
    for (std::size_t i = shape.size(); i-- > 0;) {
        layout.strides[i] = static_cast<Py_ssize_t>(stride);
        stride *= static_cast<std::uint64_t>(shape[i]);
    }
    return layout;
}

std::optional<wire::TensorDtype> region_result_dtype(std::uint8_t code, wire::TensorDtype requested) {
    switch (code) {
        case 0: return shm::dtype_code(requested) == 0 ? requested : wire::TensorDtype::Float32;
        case 1: return wire::TensorDtype::Float64;
        case 2: return wire::TensorDtype::Int32;
        case 3: return wire::TensorDtype::Int64;
        default: return std::nullopt;
    }
}

}  // namespace zorvo::python
