#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "boundary.hpp"
#include "client_state.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "gil.hpp"
#include "region_arguments.hpp"
#include "region_result.hpp"
#include "result_list.hpp"
#include "tensor.hpp"
#include "classes.hpp"
#include "zorvo/hybrid/client_core.hpp"
#include "zorvo/shm/shm_client_core.hpp"
#include "zorvo/wire/dtype.hpp"

// ZorvoShmClient and ZorvoHybridClient: both stage the tensor in the region and copy the result
// out of it once, into the buffer the returned Tensor (or list) is made from.
namespace zorvo::python {
namespace {

// Calls of one client overlap freely: each has its own mailbox cell (shared memory) or control
// connection (hybrid). One that finds every fitting slot leased waits this long for one to come
// free, since its own client's other calls are likely to hold them.
constexpr auto kSlotWait = std::chrono::seconds(6);

template <class Core>
std::shared_ptr<Core> concurrent_core(Core core) {
    core.allow_concurrent_calls();
    core.wait_for_slots(kSlotWait);
    return std::make_shared<Core>(std::move(core));
}

template <class Core, bool kTensor>
PyObject* infer_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const char* name = kTensor ? "infer_tensor" : "infer";
    return method_boundary([&]() -> PyObject* {
        std::array<PyObject*, 3> values{};
        if (!bind_region_infer_arguments(name, args, nargs, kwnames, values)) return nullptr;
        TensorArguments tensor;
        if (!tensor.load(values[0], values[1], values[2])) return nullptr;
        const std::shared_ptr<Core> core = open_core<Core>(self);
        if (!core) return nullptr;

        RegionResult result;
        std::optional<Result<Unit, shm::InferError>> outcome;
        {
            GilReleased released;
            outcome.emplace(core->infer(tensor.shape, tensor.dtype, tensor.data.bytes(), result));
        }
        if (!outcome->ok()) {
            raise_infer_error(outcome->error());
            return nullptr;
        }
        if constexpr (kTensor) {
            // The call succeeded, so the name parsed.
            const auto requested = wire::parse_dtype(tensor.dtype);
            auto layout = result.layout(requested.ok() ? requested.value() : wire::TensorDtype::Uint8);
            return new_tensor(std::move(result.bytes()), std::move(layout));
        } else {
            return bytes_to_list(result.bytes());
        }
    });
}

#define ZORVO_REGION_METHODS(Core)                                                                            \
    {"infer", fastcall<&infer_call<Core, false>>(), METH_FASTCALL | METH_KEYWORDS,                            \
     "infer($self, shape, dtype, data)\n--\n\nRuns the engine's model on one tensor (shape, element type "   \
     "name, raw bytes) and returns the result's bytes as a list of ints, as zorvo_sdk does. Other threads " \
     "run while it waits."},                                                                                  \
        {"infer_tensor", fastcall<&infer_call<Core, true>>(), METH_FASTCALL | METH_KEYWORDS,                  \
         "infer_tensor($self, shape, dtype, data)\n--\n\nLike infer, but returns a zorvo.Tensor: the "        \
         "result copied once out of the region, with the shape and element type of the result block. The "   \
         "block's element code 0 stands for float32, float16, uint8 and string alike; the tensor takes the " \
         "request's element type when it is one of these, float32 otherwise."},                              \
        ZORVO_CLIENT_LIFETIME_METHODS(Core)

// ---------------------------------------------------------------------------------------------
// ZorvoShmClient

using ShmCore = shm::ShmClientCore;

PyObject* shm_client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return method_boundary([&]() -> PyObject* {
        std::shared_ptr<ShmCore> core;
        std::string fields;
        if (!open_shm_core(args, kwargs, core, fields)) return nullptr;
        return CppObject<ClientState<ShmCore>>::create(type, std::move(core), std::move(fields));
    });
}

PyMethodDef shm_client_methods[] = {
    ZORVO_REGION_METHODS(ShmCore),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot shm_client_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&shm_client_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&CppObject<ClientState<ShmCore>>::dealloc)},
    {Py_tp_methods, shm_client_methods},
    {Py_tp_repr, reinterpret_cast<void*>(&client_repr<ShmCore>)},
    {Py_tp_doc,
     const_cast<char*>("ZorvoShmClient(shm_name)\n--\n\n"
                       "A client of the engine's shared-memory region `shm_name`, attached at construction "
                       "(ConnectionError when it cannot be). Threads may share one client; the "
                       "interpreter lock is released while a call polls for its answer.")},
    {0, nullptr},
};

PyType_Spec shm_client_spec = {
    "zorvo.ZorvoShmClient",
    static_cast<int>(sizeof(CppObject<ClientState<ShmCore>>)),
    0,
    Py_TPFLAGS_DEFAULT,
    shm_client_slots,
};

// ---------------------------------------------------------------------------------------------
// ZorvoHybridClient

using HybridCore = hybrid::HybridClientCore;

PyObject* hybrid_client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return method_boundary([&]() -> PyObject* {
        std::shared_ptr<HybridCore> core;
        std::string fields;
        if (!open_hybrid_core(args, kwargs, core, fields)) return nullptr;
        return CppObject<ClientState<HybridCore>>::create(type, std::move(core), std::move(fields));
    });
}

PyMethodDef hybrid_client_methods[] = {
    ZORVO_REGION_METHODS(HybridCore),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot hybrid_client_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&hybrid_client_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&CppObject<ClientState<HybridCore>>::dealloc)},
    {Py_tp_methods, hybrid_client_methods},
    {Py_tp_repr, reinterpret_cast<void*>(&client_repr<HybridCore>)},
    {Py_tp_doc,
     const_cast<char*>("ZorvoHybridClient(shm_name, socket_path)\n--\n\n"
                       "A client that stages tensors in the shared-memory region `shm_name` and announces "
                       "them on the Unix socket `socket_path`. Threads may share one client; the "
                       "interpreter lock is released during the exchange.")},
    {0, nullptr},
};

PyType_Spec hybrid_client_spec = {
    "zorvo.ZorvoHybridClient",
    static_cast<int>(sizeof(CppObject<ClientState<HybridCore>>)),
    0,
    Py_TPFLAGS_DEFAULT,
    hybrid_client_slots,
};

}  // namespace

bool open_shm_core(PyObject* args, PyObject* kwargs, std::shared_ptr<shm::ShmClientCore>& core, std::string& fields) {
    std::string_view name;
    if (!load_shm_client_arguments(args, kwargs, name)) return false;
    if (!repr_field(fields, "shm_name", name)) return false;
    auto attached = ShmCore::connect(name);
    if (!attached.ok()) {
        raise_attach_error(attached.error().display());
        return false;
    }
    core = concurrent_core(std::move(attached).value());
    return true;
}

bool open_hybrid_core(PyObject* args, PyObject* kwargs, std::shared_ptr<hybrid::HybridClientCore>& core,
                      std::string& fields) {
    std::string_view shm_name;
    std::string_view socket_path;
    if (!load_hybrid_client_arguments(args, kwargs, shm_name, socket_path)) return false;
    if (!repr_field(fields, "shm_name", shm_name) || !repr_field(fields, "socket_path", socket_path)) return false;
    auto connected = HybridCore::connect(shm_name, std::string(socket_path));
    if (!connected.ok()) {
        raise_setup_error(connected.error());
        return false;
    }
    core = std::shared_ptr<HybridCore>(std::move(connected).value());
    core->allow_concurrent_calls();
    core->wait_for_slots(kSlotWait);
    return true;
}

PyObject* shm_client_type_released() { return type_object<shm_client_spec>(); }
PyObject* hybrid_client_type_released() { return type_object<hybrid_client_spec>(); }

}  // namespace zorvo::python
