#pragma once

#include "py_ref.hpp"

#include <cstdint>
#include <span>

namespace zorvo::python {

// Result bytes as a new list with one int (0..255) per byte: the form every client returns.
PyObject* bytes_to_list(std::span<const std::uint8_t> bytes);

// The same list built only through the public list calls: what a free-threaded interpreter gets
// from bytes_to_list.
PyObject* bytes_to_list_plain(std::span<const std::uint8_t> bytes);

}  // namespace zorvo::python
