#pragma once

#include "py_ref.hpp"

#include <string_view>

#include "zorvo/common/system_error.hpp"
#include "zorvo/net/client_error.hpp"
#include "zorvo/net/stream.hpp"
#include "zorvo/shm/infer_error.hpp"

namespace zorvo::python {

// Every exception the library raises carries exactly one argument: its message.
void raise_message(PyObject* exception_type, std::string_view message);

// ClientError variant -> ConnectionError / ValueError / RuntimeError.
void raise_client_error(const net::ClientError& error);

// A stream that could not be opened: the client error's exception, or the system error's own kind
// when writing the request failed.
void raise_stream_open_error(const net::StreamOpenError& error);

// A failed call through a shared-memory region, either client: ConnectionError / ValueError /
// RuntimeError / TimeoutError, or the error a host callback (signal handler, result list) left pending.
void raise_infer_error(const shm::InferError& error);

// A system error raised directly: BrokenPipeError, ConnectionRefusedError, ... or OSError.
void raise_system_error(const SystemError& error);

// The exception for broken invariants: derived directly from BaseException, created once.
PyObject* internal_fault_type();
void raise_internal_fault(std::string_view message);

// Re-raises a pending TypeError as "argument '<name>': <message>", replacing rather than chaining.
void prefix_argument_error(const char* argument_name);

}  // namespace zorvo::python
