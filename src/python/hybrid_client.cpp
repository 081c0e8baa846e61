#include <array>
#include <memory>
#include <string>
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
#include "zorvo/hybrid/client_core.hpp"

namespace zorvo::python {
namespace {

using HybridClientObject = CppObject<std::unique_ptr<hybrid::HybridClientCore>>;

PyObject* hybrid_client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return method_boundary([&]() -> PyObject* {
        std::string_view shm_name;
        std::string_view socket_path;
        if (!load_hybrid_client_arguments(args, kwargs, shm_name, socket_path)) return nullptr;

        auto core = hybrid::HybridClientCore::connect(shm_name, std::string(socket_path));
        if (!core.ok()) {
            raise_setup_error(core.error());
            return nullptr;
        }
        return HybridClientObject::create(type, std::move(core).value());
    });
}

PyObject* hybrid_client_infer(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method_boundary([&]() -> PyObject* {
        std::array<PyObject*, 3> values{};
        static constexpr Signature kInferSignature = region_infer_signature("infer");
        if (!bind_arguments(kInferSignature, args, nargs, kwnames, values)) return nullptr;
        HybridClientObject* object = HybridClientObject::from(self);
        // Held for the whole call, argument conversion included, which may run Python code.
        ExclusiveTake take(object->borrow);
        if (!take.ok()) return nullptr;

        TensorArguments tensor;
        if (!tensor.load(values[0], values[1], values[2])) return nullptr;

        // The interpreter lock stays held: the runtime's workers never touch Python objects.
        InterpreterHost host(tensor.data);
        auto outcome = object->state()->infer(tensor.shape, tensor.dtype, tensor.data.bytes(), host);
        if (!outcome.ok()) {
            raise_infer_error(outcome.error());
            return nullptr;
        }
        return host.release_result();
    });
}

PyMethodDef hybrid_client_methods[] = {
    {"infer", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&hybrid_client_infer)),
     METH_FASTCALL | METH_KEYWORDS, "infer($self, shape, dtype, data)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot hybrid_client_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&hybrid_client_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&HybridClientObject::dealloc)},
    {Py_tp_methods, hybrid_client_methods},
    {Py_tp_doc, const_cast<char*>("ZorvoHybridClient(shm_name, socket_path)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec hybrid_client_spec = {
    "zorvo_sdk.ZorvoHybridClient",
    static_cast<int>(sizeof(HybridClientObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    hybrid_client_slots,
};

}  // namespace

PyObject* hybrid_client_type() { return type_object<hybrid_client_spec>(); }

}  // namespace zorvo::python
