#pragma once

#include "errors.hpp"
#include "py_ref.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Conversions of Python arguments into core values. Each returns false with a Python error set;
// TypeErrors are re-raised with the "argument '<name>': " prefix by the caller's `arg` helpers.
namespace zorvo::python {

// A `str` as UTF-8; the view lives as long as the object.
bool to_str(PyObject* object, std::string_view& out);
bool to_optional_str(PyObject* object, std::optional<std::string_view>& out);

bool to_u16(PyObject* object, std::uint16_t& out);
bool to_u32(PyObject* object, std::uint32_t& out);
bool to_u64(PyObject* object, std::uint64_t& out);

// A sequence of integers (not a `str`) as signed 64-bit values.
bool to_i64_vector(PyObject* object, std::vector<std::int64_t>& out);

// Bytes given to a call: a 1-D unsigned-byte buffer is read in place (no per-item conversion);
// any other sequence of integers 0..255 is converted item by item. Both give the same bytes and
// the same errors; only the speed differs.
class ByteArgument {
public:
    ByteArgument() = default;
    ByteArgument(const ByteArgument&) = delete;
    ByteArgument& operator=(const ByteArgument&) = delete;
    ByteArgument(ByteArgument&& other) noexcept;
    ByteArgument& operator=(ByteArgument&& other) noexcept;
    ~ByteArgument();

    bool load(PyObject* object);
    std::span<const std::uint8_t> bytes() const noexcept;
    std::vector<std::uint8_t> to_vector() const { return {bytes().begin(), bytes().end()}; }

private:
    void release_view() noexcept;

    Py_buffer view_{};
    bool has_view_ = false;
    std::vector<std::uint8_t> owned_;
};

// The (shape, dtype, data) arguments every client's infer takes, converted in that order.
struct TensorArguments {
    std::vector<std::int64_t> shape;
    std::string_view dtype;
    ByteArgument data;

    // Converts the three objects; false with the prefixed Python error set.
    bool load(PyObject* shape_object, PyObject* dtype_object, PyObject* data_object);
};

// Each argument helper converts and, on a TypeError, prefixes the argument's name.
template <class Convert>
bool convert_argument(const char* name, Convert&& convert) {
    if (convert()) return true;
    prefix_argument_error(name);
    return false;
}

}  // namespace zorvo::python
