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
#include "types.hpp"
#include "zorvo/hybrid/client_core.hpp"

namespace zorvo::python {
namespace {

using HybridClientObject = CppObject<std::unique_ptr<hybrid::HybridClientCore>>;

constexpr std::array<const char*, 2> kConstructorNames = {"shm_name", "socket_path"};
constexpr Signature kConstructorSignature = {"ZorvoHybridClient", kConstructorNames, 2, 2};

PyObject* hybrid_client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return method_boundary([&]() -> PyObject* {
        std::array<PyObject*, kConstructorNames.size()> values{};
        if (!bind_arguments(kConstructorSignature, args, kwargs, values)) return nullptr;
        std::string_view shm_name;
        std::string_view socket_path;
        if (!convert_argument("shm_name", [&] { return to_str(values[0], shm_name); }) ||
            !convert_argument("socket_path", [&] { return to_str(values[1], socket_path); })) {
            return nullptr;
        }

        auto core = hybrid::HybridClientCore::connect(shm_name, std::string(socket_path));
        if (!core.ok()) {
            const bool attach_failed = core.error().kind == hybrid::SetupError::Kind::Attach;
            raise_message(attach_failed ? PyExc_ConnectionError : PyExc_RuntimeError, core.error().message);
            return nullptr;
        }
        return HybridClientObject::create(type, std::move(core).value());
    });
}

constexpr std::array<const char*, 3> kInferNames = {"shape", "dtype", "data"};
constexpr Signature kInferSignature = {"infer", kInferNames, 3, 3};

PyObject* hybrid_client_infer(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method_boundary([&]() -> PyObject* {
        std::array<PyObject*, kInferNames.size()> values{};
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
