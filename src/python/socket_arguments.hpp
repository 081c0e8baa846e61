#pragma once

#include "args.hpp"
#include "convert.hpp"
#include "py_ref.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "zorvo/net/connection_target.hpp"
#include "zorvo/net/tensor_args.hpp"

// The arguments of the socket client's constructor and inference methods, shared by every module
// that exposes that client.
namespace zorvo::python {

// The constructor's arguments, resolved into the core's configuration.
struct SocketClientArguments {
    net::ConnectionTarget target;
    std::optional<std::string> api_token;
    std::uint64_t max_pool_size = 0;
};

// Binds and converts the constructor's arguments (named "ZorvoClient" in messages); false with the
// Python error set, a configuration error included.
bool load_socket_client_arguments(PyObject* args, PyObject* kwargs, SocketClientArguments& out);

inline constexpr std::array<const char*, 5> kSocketInferNames = {"model_id", "shape", "dtype", "data",
                                                                  "additional_inputs"};

// (model_id, shape, dtype, data, additional_inputs=None) under the method's own name.
constexpr Signature socket_infer_signature(const char* function_name) {
    return {function_name, kSocketInferNames, 5, 4};
}

// The converted arguments of one call; `primary.data` may still point into the caller's buffer.
struct InferArguments {
    std::uint32_t model_id = 0;
    TensorArguments primary;
    std::vector<net::AdditionalInput> additional_inputs;

    net::TensorArgs tensor() const { return {primary.shape, primary.dtype, primary.data.bytes()}; }
};

bool load_infer_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames, InferArguments& out);

}  // namespace zorvo::python
