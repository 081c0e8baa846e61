#include "socket_arguments.hpp"

#include <string_view>

#include "errors.hpp"
#include "zorvo/net/client_config.hpp"

namespace zorvo::python {
namespace {

constexpr std::array<const char*, 8> kConstructorNames = {
    "endpoint", "protocol", "host", "port", "socket_path", "pipe_name", "max_pool_size", "api_token"};
constexpr Signature kConstructorSignature = {"ZorvoClient", kConstructorNames, 1, 0};

bool optional_text_argument(const char* name, PyObject* object, std::optional<std::string_view>& out) {
    return convert_argument(name, [&] { return to_optional_str(object, out); });
}

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

}  // namespace

bool load_socket_client_arguments(PyObject* args, PyObject* kwargs, SocketClientArguments& out) {
    std::array<PyObject*, kConstructorNames.size()> values{};
    if (!bind_arguments(kConstructorSignature, args, kwargs, values)) return false;
    auto [endpoint, protocol, host, port, socket_path, pipe_name, max_pool_size, api_token] = values;

    net::ClientOptions options;
    if (!optional_text_argument("endpoint", endpoint, options.endpoint)) return false;
    if (!optional_text_argument("protocol", protocol, options.protocol)) return false;
    if (!optional_text_argument("host", host, options.host)) return false;
    if (port != nullptr && port != Py_None) {
        std::uint16_t value = 0;
        if (!convert_argument("port", [&] { return to_u16(port, value); })) return false;
        options.port = value;
    }
    if (!optional_text_argument("socket_path", socket_path, options.socket_path)) return false;
    if (!optional_text_argument("pipe_name", pipe_name, options.pipe_name)) return false;
    out.max_pool_size = net::kDefaultMaxPoolSize;
    if (max_pool_size != nullptr &&
        !convert_argument("max_pool_size", [&] { return to_u64(max_pool_size, out.max_pool_size); })) {
        return false;
    }
    std::optional<std::string_view> token;
    if (!optional_text_argument("api_token", api_token, token)) return false;

    auto target = net::resolve_target(options);
    if (!target.ok()) {
        raise_client_error(target.error());
        return false;
    }
    out.target = std::move(target).value();
    if (token) out.api_token.emplace(*token);
    return true;
}

bool load_infer_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames, InferArguments& out) {
    std::array<PyObject*, kSocketInferNames.size()> values{};
    if (!bind_arguments(signature, args, nargs, kwnames, values)) return false;
    auto [model_id, shape, dtype, data, additional_inputs] = values;
    return convert_argument("model_id", [&] { return to_u32(model_id, out.model_id); }) &&
           out.primary.load(shape, dtype, data) &&
           convert_argument("additional_inputs",
                            [&] { return convert_additional_inputs(additional_inputs, out.additional_inputs); });
}

}  // namespace zorvo::python
