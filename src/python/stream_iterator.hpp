#pragma once

#include "py_ref.hpp"

#include "zorvo/net/stream.hpp"

namespace zorvo::python {

// A new StreamIterator that owns `reader`. The type is created on first use and is not a module
// attribute.
PyObject* new_stream_iterator(net::StreamReader reader);

}  // namespace zorvo::python
