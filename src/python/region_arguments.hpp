#pragma once

#include "args.hpp"
#include "convert.hpp"
#include "py_ref.hpp"

#include <array>
#include <string_view>

namespace zorvo::hybrid {
struct SetupError;
}

// The arguments of the shared-memory and hybrid clients, shared by every module that exposes them.
namespace zorvo::python {

// ZorvoShmClient(shm_name); false with the Python error set.
bool load_shm_client_arguments(PyObject* args, PyObject* kwargs, std::string_view& shm_name);

// ZorvoHybridClient(shm_name, socket_path); false with the Python error set.
bool load_hybrid_client_arguments(PyObject* args, PyObject* kwargs, std::string_view& shm_name,
                                  std::string_view& socket_path);

// A shared-memory region that could not be attached: ConnectionError with the region's text.
void raise_attach_error(std::string_view message);

// A hybrid client that could not be built: ConnectionError for the region, RuntimeError otherwise.
void raise_setup_error(const hybrid::SetupError& error);

inline constexpr std::array<const char*, 3> kRegionInferNames = {"shape", "dtype", "data"};

// The signature of (shape, dtype, data) under the method's name; a method of fixed name keeps it
// in a constant, so that no call builds it again.
constexpr Signature region_infer_signature(const char* function_name) noexcept {
    return {function_name, kRegionInferNames, 3, 3};
}

// Binds (shape, dtype, data) under the method's name, without converting them yet.
inline bool bind_region_infer_arguments(const char* function_name, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames, std::array<PyObject*, 3>& out) {
    return bind_arguments(region_infer_signature(function_name), args, nargs, kwnames, out);
}

}  // namespace zorvo::python
