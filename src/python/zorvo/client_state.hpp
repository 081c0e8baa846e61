#pragma once

#include "py_ref.hpp"

#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "boundary.hpp"
#include "cpp_object.hpp"
#include "errors.hpp"
#include "gil.hpp"

namespace zorvo::python {

// What every client object of this module holds. Each call takes its own reference to the core,
// so close() (or another thread's close) never pulls the core from under a running call: the
// last call to finish destroys it.
template <class Core>
struct ClientState {
    std::shared_ptr<Core> core;  // empty once closed
    std::string repr_fields;     // "endpoint='...'" as __repr__ shows it
    PyRef completions;           // zorvo.aio clients: where their calls finish
    std::shared_ptr<void> driver;  // zorvo.aio shared-memory clients: what polls for their calls

    ClientState(std::shared_ptr<Core> opened, std::string fields)
        : core(std::move(opened)), repr_fields(std::move(fields)) {}
};

inline constexpr const char* kClosedClientMessage = "I/O operation on closed client";

// A reference to the open client's core for one call, or empty with ValueError set.
template <class Core>
std::shared_ptr<Core> open_core(PyObject* self) {
    auto& state = CppObject<ClientState<Core>>::from(self)->state();
    if (!state.core) PyErr_SetString(PyExc_ValueError, kClosedClientMessage);
    return state.core;
}

// close(): lets go of the core; calls still running keep it until they finish. A second close does nothing.
template <class Core>
PyObject* client_close(PyObject* self, PyObject*) {
    return method_boundary([&]() -> PyObject* {
        std::shared_ptr<Core> closing = std::move(CppObject<ClientState<Core>>::from(self)->state().core);
        if (closing) {
            // Destroying a core closes descriptors and may join threads: no need to hold others up.
            GilReleased released;
            closing.reset();
        }
        Py_RETURN_NONE;
    });
}

inline PyObject* client_enter(PyObject* self, PyObject*) { return Py_NewRef(self); }

template <class Core>
PyObject* client_exit(PyObject* self, PyObject* const*, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError, "__exit__() takes 3 arguments but %zd were given", nargs);
        return nullptr;
    }
    PyRef closed = PyRef::steal(client_close<Core>(self, nullptr));
    if (!closed) return nullptr;
    Py_RETURN_FALSE;  // exceptions from the block go on
}

template <class Core>
PyObject* client_repr(PyObject* self) {
    const auto& state = CppObject<ClientState<Core>>::from(self)->state();
    return PyUnicode_FromFormat("<%s %s%s>", Py_TYPE(self)->tp_name, state.repr_fields.c_str(),
                                state.core ? "" : " (closed)");
}

// "name='value'" with the value quoted as Python's repr quotes it; empty with an error set.
inline bool repr_field(std::string& out, const char* name, std::string_view value) {
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace"));
    if (!text) return false;
    PyRef quoted = PyRef::steal(PyObject_Repr(text.get()));
    if (!quoted) return false;
    const char* utf8 = PyUnicode_AsUTF8(quoted.get());
    if (utf8 == nullptr) return false;
    if (!out.empty()) out += ' ';
    out += name;
    out += '=';
    out += utf8;
    return true;
}

// A METH_FASTCALL function as the method table stores it.
template <auto Method>
PyCFunction fastcall() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Method));
}

#define ZORVO_CLIENT_LIFETIME_METHODS(Core)                                                                   \
    {"close", &client_close<Core>, METH_NOARGS,                                                              \
     "close($self, /)\n--\n\nReleases the client's connections, region mapping and threads. Calls "         \
     "already running finish first; later calls raise ValueError. A second close does nothing."},           \
        {"__enter__", &client_enter, METH_NOARGS, "__enter__($self, /)\n--\n\nReturns the client."},          \
        {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&client_exit<Core>)),      \
         METH_FASTCALL, "__exit__($self, exc_type, exc_value, traceback, /)\n--\n\nCloses the client."}

}  // namespace zorvo::python
