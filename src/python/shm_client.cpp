#include <array>
#include <span>
#include <string_view>
#include <vector>

#include "args.hpp"
#include "boundary.hpp"
#include "convert.hpp"
#include "cpp_object.hpp"
#include "errors.hpp"
#include "interpreter_host.hpp"
#include "region_arguments.hpp"
#include "types.hpp"
#include "zorvo/shm/shm_client_core.hpp"

namespace zorvo::python {
namespace {

using ShmClientObject = CppObject<shm::ShmClientCore>;

PyObject* shm_client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return method_boundary([&]() -> PyObject* {
        std::string_view name;
        if (!load_shm_client_arguments(args, kwargs, name)) return nullptr;

        auto core = shm::ShmClientCore::connect(name);
        if (!core.ok()) {
            raise_attach_error(core.error().display());
            return nullptr;
        }
        return ShmClientObject::create(type, std::move(core).value());
    });
}

PyObject* shm_client_infer(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method_boundary([&]() -> PyObject* {
        std::array<PyObject*, 3> values{};
        static constexpr Signature kInferSignature = region_infer_signature("infer");
        if (!bind_arguments(kInferSignature, args, nargs, kwnames, values)) return nullptr;
        ShmClientObject* object = ShmClientObject::from(self);
        // Exclusive for the whole call, conversions included: the readiness wait lets other
        // threads in, and they must not share the call.
        ExclusiveTake take(object->borrow);
        if (!take.ok()) return nullptr;

        TensorArguments tensor;
        if (!tensor.load(values[0], values[1], values[2])) return nullptr;
        InterpreterHost host(tensor.data);
        auto outcome = object->state().infer(tensor.shape, tensor.dtype, tensor.data.bytes(), host);
        if (!outcome.ok()) {
            raise_infer_error(outcome.error());
            return nullptr;
        }
        return host.release_result();
    });
}

PyMethodDef shm_client_methods[] = {
    {"infer", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&shm_client_infer)),
     METH_FASTCALL | METH_KEYWORDS, "infer($self, shape, dtype, data)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot shm_client_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&shm_client_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&ShmClientObject::dealloc)},
    {Py_tp_methods, shm_client_methods},
    {Py_tp_doc, const_cast<char*>("ZorvoShmClient(shm_name)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec shm_client_spec = {
    "zorvo_sdk.ZorvoShmClient",
    static_cast<int>(sizeof(ShmClientObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    shm_client_slots,
};

}  // namespace

PyObject* shm_client_type() { return type_object<shm_client_spec>(); }

}  // namespace zorvo::python
