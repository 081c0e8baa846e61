#include "signal_check.hpp"

#include <atomic>

namespace zorvo::python {
namespace {

std::atomic<unsigned long> main_thread{0};

}  // namespace

bool record_main_thread() {
    PyRef threading = PyRef::steal(PyImport_ImportModule("threading"));
    if (!threading) return false;
    PyRef thread = PyRef::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
    if (!thread) return false;
    PyRef ident = PyRef::steal(PyObject_GetAttrString(thread.get(), "ident"));
    if (!ident) return false;
    const unsigned long value = PyLong_AsUnsignedLong(ident.get());
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) return false;
    main_thread.store(value, std::memory_order_relaxed);
    return true;
}

bool run_signal_handlers_briefly() noexcept {
    if (PyThread_get_thread_ident() != main_thread.load(std::memory_order_relaxed)) return true;
    const PyGILState_STATE held = PyGILState_Ensure();
    const bool ok = PyErr_CheckSignals() == 0;
    PyGILState_Release(held);
    return ok;
}

}  // namespace zorvo::python
