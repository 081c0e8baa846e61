#pragma once

#include "py_ref.hpp"

#include "zorvo/net/stream.hpp"

// The classes of the zorvo module; each type object is created once per process.
namespace zorvo::python {

PyObject* socket_client_type();
PyObject* shm_client_type_released();
PyObject* hybrid_client_type_released();

// A new stream iterator owning `reader`, yielding tensors or lists.
PyObject* new_released_stream(net::StreamReader reader, bool tensors);

}  // namespace zorvo::python
