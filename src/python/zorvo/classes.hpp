#pragma once

#include "py_ref.hpp"

#include <memory>
#include <string>

#include "zorvo/net/stream.hpp"

namespace zorvo::net {
class SocketClient;
}
namespace zorvo::shm {
class ShmClientCore;
}
namespace zorvo::hybrid {
class HybridClientCore;
}

// The classes of the zorvo module; each type object is created once per process.
namespace zorvo::python {

PyObject* socket_client_type();
PyObject* shm_client_type_released();
PyObject* hybrid_client_type_released();

// The cores of the clients, opened from their constructors' arguments, and the fields __repr__
// shows; false with a Python error set. Both zorvo and zorvo.aio clients are made this way.
bool open_socket_core(PyObject* args, PyObject* kwargs, bool signal_checks, std::shared_ptr<net::SocketClient>& core,
                      std::string& fields);
bool open_shm_core(PyObject* args, PyObject* kwargs, std::shared_ptr<shm::ShmClientCore>& core, std::string& fields);
bool open_hybrid_core(PyObject* args, PyObject* kwargs, std::shared_ptr<hybrid::HybridClientCore>& core,
                      std::string& fields);

// A new stream iterator owning `reader`, yielding tensors or lists.
PyObject* new_released_stream(net::StreamReader reader, bool tensors);

}  // namespace zorvo::python
