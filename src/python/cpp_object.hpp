#pragma once

#include "borrow.hpp"
#include "py_ref.hpp"

#include <cstddef>
#include <memory>
#include <new>
#include <utility>

namespace zorvo::python {

// The layout of every Python object of this module: the object header, the borrow flag of the
// method boundary, and the C++ state, constructed in place once the constructor has succeeded.
template <class State>
struct CppObject {
    PyObject_HEAD
    BorrowFlag borrow;
    bool constructed;
    alignas(State) std::byte storage[sizeof(State)];

    static CppObject* from(PyObject* self) noexcept { return reinterpret_cast<CppObject*>(self); }

    State& state() noexcept { return *std::launder(reinterpret_cast<State*>(storage)); }

    template <class... Args>
    State& emplace(Args&&... args) {
        State* state = std::construct_at(reinterpret_cast<State*>(storage), std::forward<Args>(args)...);
        constructed = true;
        return *state;
    }

    // A new instance of `type` holding State(args...); nullptr with a Python error on failure.
    template <class... Args>
    static PyObject* create(PyTypeObject* type, Args&&... args) {
        CppObject* object = allocate(type);
        if (object == nullptr) return nullptr;
        PyRef owner = PyRef::steal(reinterpret_cast<PyObject*>(object));  // freed if State throws
        object->emplace(std::forward<Args>(args)...);
        return owner.release();
    }

    // Allocates an instance of `type` with no state yet; nullptr with a Python error on failure.
    static CppObject* allocate(PyTypeObject* type) noexcept {
        PyObject* raw = type->tp_alloc(type, 0);
        if (raw == nullptr) return nullptr;
        CppObject* object = from(raw);
        std::construct_at(&object->borrow);
        object->constructed = false;
        return object;
    }

    static void dealloc(PyObject* self) noexcept {
        CppObject* object = from(self);
        PyTypeObject* type = Py_TYPE(self);
        if (object->constructed) {
            std::destroy_at(&object->state());
            object->constructed = false;
        }
        type->tp_free(self);
        Py_DECREF(type);  // instances of heap types hold a reference to their type
    }
};

// The type object made from `Spec`, created on first use and kept for the life of the process;
// nullptr with a Python error when creating it failed (the next use tries again).
template <PyType_Spec& Spec>
PyObject* type_object() {
    static PyObject* type = nullptr;
    if (type == nullptr) type = PyType_FromSpec(&Spec);
    return type;
}

}  // namespace zorvo::python
