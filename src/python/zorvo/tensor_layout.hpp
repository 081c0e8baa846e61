#pragma once

#include "py_ref.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "zorvo/wire/dtype.hpp"

namespace zorvo::python {

// How a result's bytes are seen through the buffer protocol.
struct TensorLayout {
    std::vector<Py_ssize_t> shape;
    std::vector<Py_ssize_t> strides;  // C order
    const char* format;               // struct module item format
    Py_ssize_t itemsize;
    std::string_view dtype;  // canonical element type name
};

// The layout of `nbytes` result bytes that the engine described by `shape` and `dtype` (nullopt:
// an element type the client does not know). Strings are raw bytes ("B", item size 1). Where the
// shape, item size and byte count disagree, or the type is unknown, the layout is one-dimensional
// uint8 bytes, never a view that reads past or misses bytes.
TensorLayout describe_tensor(std::span<const std::int64_t> shape, std::optional<wire::TensorDtype> dtype,
                             std::size_t nbytes);

// The element type a shared-memory result block's code stands for. Code 0 stands for float32,
// float16, uint8 and string alike: the request's own type when its code is 0, float32 otherwise.
// nullopt for a code that names no type.
std::optional<wire::TensorDtype> region_result_dtype(std::uint8_t code, wire::TensorDtype requested);

}  // namespace zorvo::python
