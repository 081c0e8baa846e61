#include <memory>
#include <optional>
#include <string>

#include "boundary.hpp"
#include "client_state.hpp"
#include "errors.hpp"
#include "gil.hpp"
#include "result_list.hpp"
#include "signal_check.hpp"
#include "socket_arguments.hpp"
#include "tensor.hpp"
#include "classes.hpp"
#include "zorvo/net/socket_client.hpp"

namespace zorvo::python {
namespace {

using Core = net::SocketClient;
using State = ClientState<Core>;
using ClientObject = CppObject<State>;

PyObject* client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return method_boundary([&]() -> PyObject* {
        std::shared_ptr<Core> core;
        std::string fields;
        if (!open_socket_core(args, kwargs, true, core, fields)) return nullptr;
        return ClientObject::create(type, std::move(core), std::move(fields));
    });
}

constexpr Signature kInferSignature = socket_infer_signature("infer");
constexpr Signature kInferTensorSignature = socket_infer_signature("infer_tensor");
constexpr Signature kInferStreamSignature = socket_infer_signature("infer_stream");
constexpr Signature kInferStreamTensorSignature = socket_infer_signature("infer_stream_tensor");

// One call: arguments converted with the lock held, the exchange (pooled connection, send,
// receive) without it; the result's bytes stay in the reply buffer they were received into.
template <bool kTensor>
PyObject* infer_call(const Signature& signature, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    return method_boundary([&]() -> PyObject* {
        InferArguments arguments;
        if (!load_infer_arguments(signature, args, nargs, kwnames, arguments)) return nullptr;
        const std::shared_ptr<Core> core = open_core<Core>(self);
        if (!core) return nullptr;
        std::optional<Result<net::ResultData, net::ClientError>> result;
        {
            GilReleased released;
            result.emplace(core->infer(arguments.model_id, arguments.tensor(), arguments.additional_inputs));
        }
        if (!result->ok()) {
            // A signal handler's exception, which ended the wait, is the one to raise.
            if (!(result->error().is_abandoned_wait() && PyErr_Occurred())) raise_client_error(result->error());
            return nullptr;
        }
        if constexpr (kTensor) {
            return new_tensor(std::move(*result).value());
        } else {
            return bytes_to_list(result->value().bytes());
        }
    });
}

template <bool kTensor>
PyObject* stream_call(const Signature& signature, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    return method_boundary([&]() -> PyObject* {
        InferArguments arguments;
        if (!load_infer_arguments(signature, args, nargs, kwnames, arguments)) return nullptr;
        const std::shared_ptr<Core> core = open_core<Core>(self);
        if (!core) return nullptr;
        std::optional<Result<net::StreamReader, net::StreamOpenError>> opened;
        {
            GilReleased released;
            opened.emplace(
                core->infer_stream(arguments.model_id, arguments.tensor(), arguments.additional_inputs));
        }
        if (!opened->ok()) {
            if (PyErr_Occurred()) return nullptr;  // a signal handler raised while the request was sent
            raise_stream_open_error(opened->error());
            return nullptr;
        }
        return new_released_stream(std::move(*opened).value(), kTensor);
    });
}

PyObject* client_infer(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return infer_call<false>(kInferSignature, self, args, nargs, kwnames);
}
PyObject* client_infer_tensor(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return infer_call<true>(kInferTensorSignature, self, args, nargs, kwnames);
}
PyObject* client_infer_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return stream_call<false>(kInferStreamSignature, self, args, nargs, kwnames);
}
PyObject* client_infer_stream_tensor(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
    return stream_call<true>(kInferStreamTensorSignature, self, args, nargs, kwnames);
}

PyObject* client_endpoint(PyObject* self, PyObject*) {
    return method_boundary([&]() -> PyObject* {
        const std::shared_ptr<Core> core = open_core<Core>(self);
        if (!core) return nullptr;
        const std::string endpoint = core->target().endpoint();
        return PyUnicode_FromStringAndSize(endpoint.data(), static_cast<Py_ssize_t>(endpoint.size()));
    });
}

PyObject* client_protocol(PyObject* self, PyObject*) {
    const std::shared_ptr<Core> core = open_core<Core>(self);
    if (!core) return nullptr;
    return PyUnicode_FromString(core->target().protocol());
}

#define ZORVO_INFER_PARAMETERS "($self, model_id, shape, dtype, data, additional_inputs=None)\n--\n\n"

PyMethodDef client_methods[] = {
    {"infer", fastcall<&client_infer>(), METH_FASTCALL | METH_KEYWORDS,
     "infer" ZORVO_INFER_PARAMETERS
     "Runs model `model_id` on one tensor (shape, element type name, raw bytes) and returns the "
     "result's bytes as a list of ints, as zorvo_sdk does. Other threads run while it waits."},
    {"infer_tensor", fastcall<&client_infer_tensor>(), METH_FASTCALL | METH_KEYWORDS,
     "infer_tensor" ZORVO_INFER_PARAMETERS
     "Like infer, but returns the result as a zorvo.Tensor with the engine's shape and element type; "
     "its buffer is the bytes as received, not copied again."},
    {"infer_stream", fastcall<&client_infer_stream>(), METH_FASTCALL | METH_KEYWORDS,
     "infer_stream" ZORVO_INFER_PARAMETERS
     "Starts a streamed inference on a connection of its own; the iterator yields each item as a "
     "list of ints."},
    {"infer_stream_tensor", fastcall<&client_infer_stream_tensor>(), METH_FASTCALL | METH_KEYWORDS,
     "infer_stream_tensor" ZORVO_INFER_PARAMETERS
     "Like infer_stream, but the iterator yields each item as a zorvo.Tensor."},
    {"endpoint", &client_endpoint, METH_NOARGS,
     "endpoint($self, /)\n--\n\nThe endpoint as a URL: 'tcp://HOST:PORT' or 'unix://PATH'."},
    {"protocol", &client_protocol, METH_NOARGS, "protocol($self, /)\n--\n\n'tcp' or 'socket'."},
    ZORVO_CLIENT_LIFETIME_METHODS(Core),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot client_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&client_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&ClientObject::dealloc)},
    {Py_tp_methods, client_methods},
    {Py_tp_repr, reinterpret_cast<void*>(&client_repr<Core>)},
    {Py_tp_doc,
     const_cast<char*>(
         "ZorvoClient(endpoint=None, *, protocol=None, host=None, port=None, socket_path=None, "
         "pipe_name=None, max_pool_size=..., api_token=None)\n--\n\n"
         "A client of the engine's socket protocol over TCP or a Unix socket, with the constructor of "
         "zorvo_sdk.ZorvoClient. Any number of threads may share one client: each call in flight has a "
         "pooled connection of its own, and the interpreter lock is released while it waits.")},
    {0, nullptr},
};

PyType_Spec client_spec = {
    "zorvo.ZorvoClient",
    static_cast<int>(sizeof(ClientObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    client_slots,
};

}  // namespace

bool open_socket_core(PyObject* args, PyObject* kwargs, bool signal_checks, std::shared_ptr<net::SocketClient>& core,
                      std::string& fields) {
    SocketClientArguments arguments;
    if (!load_socket_client_arguments(args, kwargs, arguments)) return false;
    if (!repr_field(fields, "endpoint", arguments.target.endpoint())) return false;
    // Sends and receives give signal handlers a chance during long waits.
    if (signal_checks) arguments.target.wait = {kSignalCheckPeriod, &run_signal_handlers_briefly};
    core = std::make_shared<Core>(std::move(arguments.target), std::move(arguments.api_token),
                                  arguments.max_pool_size);
    return true;
}

PyObject* socket_client_type() { return type_object<client_spec>(); }

}  // namespace zorvo::python
