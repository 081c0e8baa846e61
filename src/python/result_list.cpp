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

PyObject* bytes_to_list_plain(std::span<const std::uint8_t> bytes) {
    const auto* values = byte_values();
    if (values == nullptr) return nullptr;
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(bytes.size()));
    if (list == nullptr) return nullptr;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), Py_NewRef((*values)[bytes[i]]));
    }
    return list;
}

PyObject* bytes_to_list(std::span<const std::uint8_t> bytes) {
#ifdef Py_GIL_DISABLED
    // A free-threaded interpreter allocates list storage its own way and splits reference counts,
    // so neither the item array nor the counts below may be touched directly there.
    return bytes_to_list_plain(bytes);
#else
    // Below this many bytes, clearing and walking the 256 per-value counters costs more than
    // counting each reference as it is stored.
    constexpr std::size_t kCountedReferencesFrom = 4096;
    const auto* values = byte_values();
    if (values == nullptr) return nullptr;
    PyObject* list = PyList_New(0);
    if (list == nullptr || bytes.empty()) return list;
    // The item array is filled here and handed to the list, so it is not zeroed first as
    // PyList_New(n) would; references are counted per byte value and added once per value.
    PyObject** items = PyMem_New(PyObject*, bytes.size());
    if (items == nullptr) {
        Py_DECREF(list);
        return PyErr_NoMemory();
    }
    if (bytes.size() < kCountedReferencesFrom) {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            PyObject* value = (*values)[bytes[i]];
            Py_INCREF(value);
            items[i] = value;
        }
    } else {
        std::array<Py_ssize_t, 256> uses{};
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            items[i] = (*values)[bytes[i]];
            ++uses[bytes[i]];
        }
        // From 3.12 the byte values are immortal and this leaves their counts as they are.
        for (std::size_t value = 0; value < uses.size(); ++value) {
            if (uses[value] == 0) continue;
            PyObject* object = (*values)[value];
            Py_SET_REFCNT(object, Py_REFCNT(object) + uses[value]);
        }
    }
    auto* list_object = reinterpret_cast<PyListObject*>(list);
    list_object->ob_item = items;
    list_object->allocated = static_cast<Py_ssize_t>(bytes.size());
    Py_SET_SIZE(list_object, static_cast<Py_ssize_t>(bytes.size()));
    return list;
#endif
}

}  // namespace zorvo::python
