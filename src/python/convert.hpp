#pragma once

#include "errors.hpp"
#include "py_ref.hpp"

#include <algorithm>
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
    ByteArgument(ByteArgument&&) = delete;
    ByteArgument& operator=(ByteArgument&&) = delete;
    ~ByteArgument();

    bool load(PyObject* object);
    std::span<const std::uint8_t> bytes() const noexcept;
    std::vector<std::uint8_t> to_vector() const { return {bytes().begin(), bytes().end()}; }
    // The bytes as an owned vector: moved out when they were converted item by item.
    std::vector<std::uint8_t> into_vector() && { return has_view_ ? to_vector() : std::move(owned_); }
    // Lets go of the caller's buffer (and of converted bytes) once they are no longer needed;
    // bytes() is empty afterwards.
    void release() noexcept;

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

// "'<type>' object cannot be converted to '<target>'" as a TypeError; returns false.
bool raise_cannot_convert(PyObject* object, const char* target);

// The checks every Vec-like argument shares: a `str` is refused, anything else must be a sequence.
inline bool check_vector_source(PyObject* object) {
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(object)) return raise_cannot_convert(object, "Sequence");
    return true;
}

template <class Item, class ConvertItem>
bool collect_items(PyObject* object, std::vector<Item>& out, ConvertItem convert_item) {
    if (!check_vector_source(object)) return false;
    out.clear();
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
        out.reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(object)));
        // An item's conversion may run Python code (__index__) that changes the list, so the
        // length is read again on every step and the item is held while it is converted.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(object); ++i) {
            PyRef held = PyRef::borrow(PySequence_Fast_GET_ITEM(object, i));
            Item item{};
            if (!convert_item(held.get(), item)) return false;
            out.push_back(std::move(item));
        }
        return true;
    }
    // A sequence's own length is only a hint (a user type may report anything), so at most a
    // modest amount is reserved ahead of the items actually produced.
    constexpr Py_ssize_t kMostReservedAhead = Py_ssize_t{1} << 20;
    const Py_ssize_t hint = PySequence_Size(object);
    if (hint < 0) {
        PyErr_Clear();
    } else {
        out.reserve(static_cast<std::size_t>(std::min(hint, kMostReservedAhead)));
    }
    PyRef iterator = PyRef::steal(PyObject_GetIter(object));
    if (!iterator) return false;
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        Item value{};
        if (!convert_item(item.get(), value)) return false;
        out.push_back(std::move(value));
    }
    return !PyErr_Occurred();
}

// Each argument helper converts and, on a TypeError, prefixes the argument's name.
template <class Convert>
bool convert_argument(const char* name, Convert&& convert) {
    if (convert()) return true;
    prefix_argument_error(name);
    return false;
}

}  // namespace zorvo::python
