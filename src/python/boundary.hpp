#pragma once

#include "errors.hpp"

#include <exception>
#include <new>

namespace zorvo::python {

// Runs a method body so that nothing unwinds into the interpreter: an allocation failure becomes
// MemoryError, any other C++ exception the internal-fault exception. `body` returns a new
// reference, or nullptr with a Python error set.
template <class Body>
PyObject* method_boundary(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& fault) {
        raise_internal_fault(fault.what());
    } catch (...) {
        raise_internal_fault("unknown internal fault");
    }
    return nullptr;
}

// The same for slots that report failure as -1 (constructors and initialisers).
template <class Body>
int status_boundary(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& fault) {
        raise_internal_fault(fault.what());
    } catch (...) {
        raise_internal_fault("unknown internal fault");
    }
    return -1;
}

}  // namespace zorvo::python
