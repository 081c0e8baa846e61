#pragma once

#include "py_ref.hpp"

// The classes the module registers, in order. Each type object is created once per process and
// reused; nullptr with a Python error when creation fails.
namespace zorvo::python {

PyObject* zorvo_client_type();
PyObject* shm_client_type();
PyObject* hybrid_client_type();

}  // namespace zorvo::python
