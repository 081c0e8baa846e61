#include "module_init.hpp"

namespace zorvo::python {

PyObject* initialise_module(PyModuleDef& definition, std::span<const RegisteredClass> classes, ModuleOwner& owner) {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interpreter);
    if (id == -1 && PyErr_Occurred()) return nullptr;
    if (owner.interpreter != ModuleOwner::kNoInterpreter && owner.interpreter != id) {
        PyErr_Format(PyExc_ImportError,
                     "%s can be imported by only one interpreter per process; it is already "
                     "loaded by another interpreter",
                     definition.m_name);
        return nullptr;
    }
    if (owner.module != nullptr) return Py_NewRef(owner.module);

    // No Py_mod_gil declaration: the caches and borrow flags rely on the interpreter lock, so a
    // free-threaded interpreter keeps its lock enabled while this module is loaded.
    PyRef module = PyRef::steal(PyModule_Create(&definition));
    if (!module) return nullptr;
    for (const RegisteredClass& entry : classes) {
        PyObject* type = entry.type();
        if (type == nullptr || PyModule_AddObjectRef(module.get(), entry.name, type) < 0) return nullptr;
    }
    owner.interpreter = id;
    owner.module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace zorvo::python
