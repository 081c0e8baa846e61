#include "result_list.hpp"

#include <array>

namespace zorvo::python {
namespace {

// The 256 byte values as int objects, fetched once; every list built afterwards only stores and
// counts references to them.
const std::array<PyObject*, 256>* byte_values() {
    static std::array<PyObject*, 256> values{};
    static bool ready = false;
    if (ready) return &values;
    for (int i = 0; i < 256; ++i) {
        PyObject* value = PyLong_FromLong(i);
        if (value == nullptr) {
            for (int j = 0; j < i; ++j) Py_CLEAR(values[static_cast<std::size_t>(j)]);
            return nullptr;
        }
        values[static_cast<std::size_t>(i)] = value;
    }
    ready = true;
    return &values;
}

}  // namespace

PyObject* bytes_to_list(std::span<const std::uint8_t> bytes) {
    const auto* values = byte_values();
    if (values == nullptr) return nullptr;
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(bytes.size()));
    if (list == nullptr) return nullptr;
    PyObject** items = reinterpret_cast<PyListObject*>(list)->ob_item;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        PyObject* value = (*values)[bytes[i]];
        Py_INCREF(value);
        items[i] = value;
    }
    return list;
}

}  // namespace zorvo::python
