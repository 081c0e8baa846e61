#pragma once

#include "py_ref.hpp"

#include <optional>

#include "tensor_layout.hpp"
#include "zorvo/common/byte_buffer.hpp"
#include "zorvo/net/result_data.hpp"

namespace zorvo::python {

// The Tensor type (a module attribute; not constructible from Python).
PyObject* tensor_type();

// A new Tensor owning a socket result: the reply payload the bytes arrived in, unchanged.
PyObject* new_tensor(net::ResultData result);

// A new Tensor owning bytes copied out of a shared-memory region.
PyObject* new_tensor(ByteBuffer bytes, TensorLayout layout);

}  // namespace zorvo::python
