#include <cstdint>

#include "py_ref.hpp"
#include "types.hpp"

namespace zorvo::python {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "zorvo_sdk",
    "",
    // Not -1: the interpreter then calls the entry again for every fresh import, which lets it
    // hand back the one module object, or refuse a second interpreter.
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The module lives in one interpreter per process: the first one to import it owns it.
constexpr std::int64_t kNoInterpreter = -1;
std::int64_t owner_interpreter = kNoInterpreter;
PyObject* module_object = nullptr;

struct RegisteredClass {
    const char* name;
    PyObject* (*type)();
};

constexpr RegisteredClass kClasses[] = {
    {"ZorvoClient", &zorvo_client_type},
    {"ZorvoShmClient", &shm_client_type},
    {"ZorvoHybridClient", &hybrid_client_type},
};

PyObject* initialise() {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interpreter);
    if (id == -1 && PyErr_Occurred()) return nullptr;
    if (owner_interpreter != kNoInterpreter && owner_interpreter != id) {
        PyErr_SetString(PyExc_ImportError,
                        "zorvo_sdk can be imported by only one interpreter per process; it is already "
                        "loaded by another interpreter");
        return nullptr;
    }
    if (module_object != nullptr) return Py_NewRef(module_object);

    // No Py_mod_gil declaration: the caches and borrow flags rely on the interpreter lock, so a
    // free-threaded interpreter keeps its lock enabled while this module is loaded.
    PyRef module = PyRef::steal(PyModule_Create(&module_definition));
    if (!module) return nullptr;
    for (const RegisteredClass& entry : kClasses) {
        PyObject* type = entry.type();
        if (type == nullptr || PyModule_AddObjectRef(module.get(), entry.name, type) < 0) return nullptr;
    }
    owner_interpreter = id;
    module_object = Py_NewRef(module.get());
    return module.release();
}

}  // namespace
}  // namespace zorvo::python

PyMODINIT_FUNC PyInit_zorvo_sdk() { return zorvo::python::initialise(); }
