#include <string>

#include "args.hpp"
#include "boundary.hpp"
#include "convert.hpp"
#include "cpp_object.hpp"
#include "errors.hpp"
#include "result_list.hpp"
#include "socket_arguments.hpp"
#include "stream_iterator.hpp"
#include "types.hpp"
#include "zorvo/net/socket_client.hpp"

namespace zorvo::python {
namespace {

using ClientObject = CppObject<net::SocketClient>;

// ---------------------------------------------------------------------------------------------
// Constructor

PyObject* client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return method_boundary([&]() -> PyObject* {
        SocketClientArguments arguments;
        if (!load_socket_client_arguments(args, kwargs, arguments)) return nullptr;
        return ClientObject::create(type, std::move(arguments.target), std::move(arguments.api_token),
                                    arguments.max_pool_size);
    });
}

// ---------------------------------------------------------------------------------------------
// infer / infer_stream

constexpr Signature kInferSignature = socket_infer_signature("infer");
constexpr Signature kInferStreamSignature = socket_infer_signature("infer_stream");

PyObject* client_infer(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method_boundary([&]() -> PyObject* {
        InferArguments arguments;
        if (!load_infer_arguments(kInferSignature, args, nargs, kwnames, arguments)) return nullptr;
        ClientObject* object = ClientObject::from(self);
        SharedTake take(object->borrow);
        if (!take.ok()) return nullptr;
        auto result = object->state().infer(arguments.model_id, arguments.tensor(), arguments.additional_inputs);
        if (!result.ok()) {
            raise_client_error(result.error());
            return nullptr;
        }
        return bytes_to_list(result.value().bytes());
    });
}

PyObject* client_infer_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method_boundary([&]() -> PyObject* {
        InferArguments arguments;
        if (!load_infer_arguments(kInferStreamSignature, args, nargs, kwnames, arguments)) return nullptr;
        ClientObject* object = ClientObject::from(self);
        SharedTake take(object->borrow);
        if (!take.ok()) return nullptr;
        auto result =
            object->state().infer_stream(arguments.model_id, arguments.tensor(), arguments.additional_inputs);
        if (!result.ok()) {
            raise_stream_open_error(result.error());
            return nullptr;
        }
        return new_stream_iterator(std::move(result).value());
    });
}

// ---------------------------------------------------------------------------------------------
// endpoint / protocol

PyObject* client_endpoint(PyObject* self, PyObject*) {
    return method_boundary([&]() -> PyObject* {
        ClientObject* object = ClientObject::from(self);
        SharedTake take(object->borrow);
        if (!take.ok()) return nullptr;
        const std::string endpoint = object->state().target().endpoint();
        return PyUnicode_FromStringAndSize(endpoint.data(), static_cast<Py_ssize_t>(endpoint.size()));
    });
}

PyObject* client_protocol(PyObject* self, PyObject*) {
    return method_boundary([&]() -> PyObject* {
        ClientObject* object = ClientObject::from(self);
        SharedTake take(object->borrow);
        if (!take.ok()) return nullptr;
        return PyUnicode_FromString(object->state().target().protocol());
    });
}

PyMethodDef client_methods[] = {
    {"infer", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&client_infer)),
     METH_FASTCALL | METH_KEYWORDS,
     "infer($self, model_id, shape, dtype, data, additional_inputs=None)\n--\n\n"},
    {"infer_stream", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&client_infer_stream)),
     METH_FASTCALL | METH_KEYWORDS,
     "infer_stream($self, model_id, shape, dtype, data, additional_inputs=None)\n--\n\n"},
    {"endpoint", &client_endpoint, METH_NOARGS, "endpoint($self)\n--\n\n"},
    {"protocol", &client_protocol, METH_NOARGS, "protocol($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot client_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&client_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&ClientObject::dealloc)},
    {Py_tp_methods, client_methods},
    {Py_tp_doc,
     const_cast<char*>("ZorvoClient(endpoint=None, *, protocol=None, host=None, port=None, socket_path=None, "
                       "pipe_name=None, max_pool_size=..., api_token=None)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec client_spec = {
    "zorvo_sdk.ZorvoClient",
    static_cast<int>(sizeof(ClientObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    client_slots,
};

}  // namespace

PyObject* zorvo_client_type() { return type_object<client_spec>(); }

}  // namespace zorvo::python
