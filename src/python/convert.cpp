#include "convert.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

namespace zorvo::python {

bool raise_cannot_convert(PyObject* object, const char* target) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", Py_TYPE(object)->tp_name, target);
    return false;
}

namespace {

constexpr const char kOutOfRange[] = "out of range integral type conversion attempted";

// Integers within [low, high] through __index__, as the interpreter converts integer arguments.
bool to_bounded_integer(PyObject* object, long long low, long long high, long long& out) {
    long long value = 0;
    if (PyLong_CheckExact(object)) {
        value = PyLong_AsLongLong(object);
    } else {
        PyRef index = PyRef::steal(PyNumber_Index(object));
        if (!index) return false;
        value = PyLong_AsLongLong(index.get());
    }
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < low || value > high) {
        PyErr_SetString(PyExc_OverflowError, kOutOfRange);
        return false;
    }
    out = value;
    return true;
}

// An integer of type T (fitting in long long), out of range as OverflowError.
template <class T>
bool to_integer(PyObject* object, T& out) {
    long long value = 0;
    if (!to_bounded_integer(object, std::numeric_limits<T>::min(), std::numeric_limits<T>::max(), value)) {
        return false;
    }
    out = static_cast<T>(value);
    return true;
}

bool to_i64(PyObject* object, std::int64_t& out) { return to_integer(object, out); }
bool to_u8(PyObject* object, std::uint8_t& out) { return to_integer(object, out); }

bool is_unsigned_byte_format(const char* format) {
    if (format == nullptr) return true;
    if (format[0] == '@' || format[0] == '=' || format[0] == '<' || format[0] == '>' || format[0] == '!') ++format;
    return std::strcmp(format, "B") == 0;
}

}  // namespace

bool to_str(PyObject* object, std::string_view& out) {
    if (!PyUnicode_Check(object)) return raise_cannot_convert(object, "PyString");
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data == nullptr) return false;
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

bool to_optional_str(PyObject* object, std::optional<std::string_view>& out) {
    if (object == nullptr || object == Py_None) {
        out.reset();
        return true;
    }
    std::string_view text;
    if (!to_str(object, text)) return false;
    out = text;
    return true;
}

bool to_u16(PyObject* object, std::uint16_t& out) { return to_integer(object, out); }
bool to_u32(PyObject* object, std::uint32_t& out) { return to_integer(object, out); }

bool to_u64(PyObject* object, std::uint64_t& out) {
    PyRef index = PyRef::steal(PyNumber_Index(object));
    if (!index) return false;
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool to_i64_vector(PyObject* object, std::vector<std::int64_t>& out) {
    return collect_items(object, out, to_i64);
}

ByteArgument::~ByteArgument() { release_view(); }

void ByteArgument::release() noexcept {
    release_view();
    owned_ = {};
}

void ByteArgument::release_view() noexcept {
    if (has_view_) {
        PyBuffer_Release(&view_);
        has_view_ = false;
    }
}

bool ByteArgument::load(PyObject* object) {
    release_view();
    owned_.clear();
    // The fast path is taken only where the item-by-item path would give the same bytes: a
    // one-dimensional sequence of unsigned bytes.
    if (!PyUnicode_Check(object) && PyObject_CheckBuffer(object) && PySequence_Check(object)) {
        if (PyObject_GetBuffer(object, &view_, PyBUF_RECORDS_RO) == 0) {
            has_view_ = true;
            if (view_.ndim == 1 && view_.itemsize == 1 && is_unsigned_byte_format(view_.format)) {
                if (PyBuffer_IsContiguous(&view_, 'C')) return true;
                owned_.resize(static_cast<std::size_t>(view_.len));
                const int copied = PyBuffer_ToContiguous(owned_.data(), &view_, view_.len, 'C');
                release_view();
                return copied == 0;
            }
            release_view();
        } else {
            PyErr_Clear();
        }
    }
    return collect_items(object, owned_, to_u8);
}

std::span<const std::uint8_t> ByteArgument::bytes() const noexcept {
    if (has_view_) return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
    return owned_;
}

bool TensorArguments::load(PyObject* shape_object, PyObject* dtype_object, PyObject* data_object) {
    return convert_argument("shape", [&] { return to_i64_vector(shape_object, shape); }) &&
           convert_argument("dtype", [&] { return to_str(dtype_object, dtype); }) &&
           convert_argument("data", [&] { return data.load(data_object); });
}

}  // namespace zorvo::python
