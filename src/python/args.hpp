#pragma once

#include "py_ref.hpp"

#include <cstddef>
#include <span>

namespace zorvo::python {

// The parameter list of one Python-visible callable: `names` in order, the first
// `positional_count` positional-or-keyword (the rest keyword-only), the first `required_count`
// required.
struct Signature {
    const char* function_name;  // used in messages, e.g. "infer"
    std::span<const char* const> names;
    std::size_t positional_count;
    std::size_t required_count;
};

// Binds vectorcall-style arguments into `out` (borrowed references, nullptr where not given).
// Raises TypeError, as the interpreter does, for missing, unexpected or duplicated arguments.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> out);

// The same for a tuple and an optional dict, as a type's constructor receives them.
bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> out);

}  // namespace zorvo::python
