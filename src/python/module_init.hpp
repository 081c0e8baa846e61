#pragma once

#include "py_ref.hpp"

#include <cstdint>
#include <span>

namespace zorvo::python {

struct RegisteredClass {
    const char* name;
    PyObject* (*type)();
};

// Which interpreter owns a module: it lives in one interpreter per process, the first to import it.
struct ModuleOwner {
    static constexpr std::int64_t kNoInterpreter = -1;
    std::int64_t interpreter = kNoInterpreter;
    PyObject* module = nullptr;
};

// The module of `definition` (m_size 0) with `classes` as attributes: created on the first import,
// the same object on later ones, ImportError in any other interpreter.
PyObject* initialise_module(PyModuleDef& definition, std::span<const RegisteredClass> classes, ModuleOwner& owner);

}  // namespace zorvo::python
