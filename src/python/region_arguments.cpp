#include "region_arguments.hpp"

#include <array>

#include "errors.hpp"
#include "zorvo/hybrid/client_core.hpp"

namespace zorvo::python {
namespace {

constexpr std::array<const char*, 1> kShmConstructorNames = {"shm_name"};
constexpr Signature kShmConstructorSignature = {"ZorvoShmClient", kShmConstructorNames, 1, 1};

constexpr std::array<const char*, 2> kHybridConstructorNames = {"shm_name", "socket_path"};
constexpr Signature kHybridConstructorSignature = {"ZorvoHybridClient", kHybridConstructorNames, 2, 2};

}  // namespace

bool load_shm_client_arguments(PyObject* args, PyObject* kwargs, std::string_view& shm_name) {
    std::array<PyObject*, kShmConstructorNames.size()> values{};
    if (!bind_arguments(kShmConstructorSignature, args, kwargs, values)) return false;
    return convert_argument("shm_name", [&] { return to_str(values[0], shm_name); });
}

bool load_hybrid_client_arguments(PyObject* args, PyObject* kwargs, std::string_view& shm_name,
                                  std::string_view& socket_path) {
    std::array<PyObject*, kHybridConstructorNames.size()> values{};
    if (!bind_arguments(kHybridConstructorSignature, args, kwargs, values)) return false;
    return convert_argument("shm_name", [&] { return to_str(values[0], shm_name); }) &&
           convert_argument("socket_path", [&] { return to_str(values[1], socket_path); });
}

void raise_attach_error(std::string_view message) { raise_message(PyExc_ConnectionError, message); }

void raise_setup_error(const hybrid::SetupError& error) {
    const bool attach_failed = error.kind == hybrid::SetupError::Kind::Attach;
    raise_message(attach_failed ? PyExc_ConnectionError : PyExc_RuntimeError, error.message);
}

}  // namespace zorvo::python
