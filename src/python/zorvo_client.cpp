#include <array>
#include <optional>
#include <string>
#include <vector>

#include "args.hpp"
#include "boundary.hpp"
#include "convert.hpp"
#include "cpp_object.hpp"
#include "errors.hpp"
#include "result_list.hpp"
#include "stream_iterator.hpp"
#include "types.hpp"
#include "zorvo/net/client_config.hpp"
#include "zorvo/net/socket_client.hpp"

namespace zorvo::python {
namespace {

using ClientObject = CppObject<net::SocketClient>;

// ---------------------------------------------------------------------------------------------
// Constructor

constexpr std::array<const char*, 8> kConstructorNames = {
    "endpoint", "protocol", "host", "port", "socket_path", "pipe_name", "max_pool_size", "api_token"};
constexpr Signature kConstructorSignature = {"ZorvoClient", kConstructorNames, 1, 0};

bool optional_text_argument(const char* name, PyObject* object, std::optional<std::string_view>& out) {
    return convert_argument(name, [&] { return to_optional_str(object, out); });
}

PyObject* client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return method_boundary([&]() -> PyObject* {
        std::array<PyObject*, kConstructorNames.size()> values{};
        if (!bind_arguments(kConstructorSignature, args, kwargs, values)) return nullptr;
        auto [endpoint, protocol, host, port, socket_path, pipe_name, max_pool_size, api_token] = values;

        net::ClientOptions options;
        if (!optional_text_argument("endpoint", endpoint, options.endpoint)) return nullptr;
        if (!optional_text_argument("protocol", protocol, options.protocol)) return nullptr;
        if (!optional_text_argument("host", host, options.host)) return nullptr;
        if (port != nullptr && port != Py_None) {
            std::uint16_t value = 0;
            if (!convert_argument("port", [&] { return to_u16(port, value); })) return nullptr;
            options.port = value;
        }
        if (!optional_text_argument("socket_path", socket_path, options.socket_path)) return nullptr;
        if (!optional_text_argument("pipe_name", pipe_name, options.pipe_name)) return nullptr;
        std::uint64_t pool_size = net::kDefaultMaxPoolSize;
        if (max_pool_size != nullptr &&
            !convert_argument("max_pool_size", [&] { return to_u64(max_pool_size, pool_size); })) {
            return nullptr;
        }
        std::optional<std::string_view> token;
        if (!optional_text_argument("api_token", api_token, token)) return nullptr;

        auto target = net::resolve_target(options);
        if (!target.ok()) {
            raise_client_error(target.error());
            return nullptr;
        }
        std::optional<std::string> stored_token;
        if (token) stored_token.emplace(*token);

        return ClientObject::create(type, std::move(target).value(), std::move(stored_token), pool_size);
    });
}

// ---------------------------------------------------------------------------------------------
// infer / infer_stream

constexpr std::array<const char*, 5> kInferNames = {"model_id", "shape", "dtype", "data", "additional_inputs"};
constexpr Signature kInferSignature = {"infer", kInferNames, 5, 4};
constexpr Signature kInferStreamSignature = {"infer_stream", kInferNames, 5, 4};

// The converted arguments of one call; `data` may still point into the caller's buffer.
struct InferArguments {
    std::uint32_t model_id = 0;
    TensorArguments primary;
    std::vector<net::AdditionalInput> additional_inputs;

    net::TensorArgs tensor() const { return {primary.shape, primary.dtype, primary.data.bytes()}; }
};

bool convert_additional_input(PyObject* item, net::AdditionalInput& out) {
    if (!PyTuple_Check(item)) return raise_cannot_convert(item, "PyTuple");
    const Py_ssize_t length = PyTuple_GET_SIZE(item);
    if (length != 4) {
        PyErr_Format(PyExc_TypeError, "expected tuple of length 4, but got tuple of length %zd", length);
        return false;
    }
    std::string_view name;
    std::string_view dtype;
    ByteArgument data;
    if (!to_str(PyTuple_GET_ITEM(item, 0), name)) return false;
    if (!to_i64_vector(PyTuple_GET_ITEM(item, 1), out.shape)) return false;
    if (!to_str(PyTuple_GET_ITEM(item, 2), dtype)) return false;
    if (!data.load(PyTuple_GET_ITEM(item, 3))) return false;
    out.name.assign(name);
    out.dtype.assign(dtype);
    out.data = std::move(data).into_vector();
    return true;
}

bool convert_additional_inputs(PyObject* object, std::vector<net::AdditionalInput>& out) {
    if (object == nullptr || object == Py_None) return true;
    return collect_items(object, out, convert_additional_input);
}

bool convert_infer_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames, InferArguments& out) {
    std::array<PyObject*, kInferNames.size()> values{};
    if (!bind_arguments(signature, args, nargs, kwnames, values)) return false;
    auto [model_id, shape, dtype, data, additional_inputs] = values;
    return convert_argument("model_id", [&] { return to_u32(model_id, out.model_id); }) &&
           out.primary.load(shape, dtype, data) &&
           convert_argument("additional_inputs",
                            [&] { return convert_additional_inputs(additional_inputs, out.additional_inputs); });
}

PyObject* client_infer(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method_boundary([&]() -> PyObject* {
        InferArguments arguments;
        if (!convert_infer_arguments(kInferSignature, args, nargs, kwnames, arguments)) return nullptr;
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
        if (!convert_infer_arguments(kInferStreamSignature, args, nargs, kwnames, arguments)) return nullptr;
        ClientObject* object = ClientObject::from(self);
        SharedTake take(object->borrow);
        if (!take.ok()) return nullptr;
        auto result =
            object->state().infer_stream(arguments.model_id, arguments.tensor(), arguments.additional_inputs);
        if (!result.ok()) {
            std::visit(
                [](const auto& error) {
                    if constexpr (std::is_same_v<std::decay_t<decltype(error)>, net::ClientError>) {
                        raise_client_error(error);
                    } else {
                        raise_system_error(error);
                    }
                },
                result.error().error);
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
