#include "module_init.hpp"
#include "signal_check.hpp"
#include "py_ref.hpp"
#include "tensor.hpp"
#include "classes.hpp"
#include "aio.hpp"

namespace zorvo::python {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "zorvo",
    "Clients of the Zorvo inference engine whose calls run concurrently in threads (the interpreter "
    "lock is released while a call waits), return results as zorvo.Tensor without an intermediate "
    "list (infer_tensor), and close deterministically (close(), `with`).",
    0,  // see zorvo_sdk's module: one module object per process, one interpreter
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

ModuleOwner owner;

constexpr RegisteredClass kClasses[] = {
    {"ZorvoClient", &socket_client_type},
    {"ZorvoShmClient", &shm_client_type_released},
    {"ZorvoHybridClient", &hybrid_client_type_released},
    {"Tensor", &tensor_type},
};

}  // namespace
}  // namespace zorvo::python

PyMODINIT_FUNC PyInit_zorvo() {
    using namespace zorvo::python;
    if (!record_main_thread()) return nullptr;
    const bool first_import = owner.module == nullptr;
    PyRef module = PyRef::steal(initialise_module(module_definition, kClasses, owner));
    if (!module) return nullptr;
    if (first_import && !aio::add_submodule(module.get())) return nullptr;
    return module.release();
}
