#include "module_init.hpp"
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

ModuleOwner owner;

constexpr RegisteredClass kClasses[] = {
    {"ZorvoClient", &zorvo_client_type},
    {"ZorvoShmClient", &shm_client_type},
    {"ZorvoHybridClient", &hybrid_client_type},
};

}  // namespace
}  // namespace zorvo::python

PyMODINIT_FUNC PyInit_zorvo_sdk() {
    using namespace zorvo::python;
    return initialise_module(module_definition, kClasses, owner);
}
