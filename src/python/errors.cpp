#include "errors.hpp"

#include <string>

namespace zorvo::python {

void raise_message(PyObject* exception_type, std::string_view message) {
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return;
    PyErr_SetObject(exception_type, text.get());
}

void raise_client_error(const net::ClientError& error) {
    using Kind = net::ClientError::Kind;
    PyObject* type = PyExc_RuntimeError;
    switch (error.kind()) {
        case Kind::Io: type = PyExc_ConnectionError; break;
        case Kind::InvalidConfig:
        case Kind::InvalidRequest: type = PyExc_ValueError; break;
        case Kind::Serialization:
        case Kind::Server: type = PyExc_RuntimeError; break;
    }
    raise_message(type, error.message());
}

void raise_stream_open_error(const net::StreamOpenError& error) {
    if (const auto* client = std::get_if<net::ClientError>(&error.error)) {
        raise_client_error(*client);
    } else {
        raise_system_error(std::get<SystemError>(error.error));
    }
}

void raise_infer_error(const shm::InferError& error) {
    using Kind = shm::InferError::Kind;
    switch (error.kind) {
        case Kind::Attach: raise_message(PyExc_ConnectionError, error.message); return;
        case Kind::InvalidArgument: raise_message(PyExc_ValueError, error.message); return;
        case Kind::Runtime: raise_message(PyExc_RuntimeError, error.message); return;
        case Kind::Timeout: raise_message(PyExc_TimeoutError, error.message); return;
        case Kind::HostError:
            // The interpreter already holds the error that a signal handler or the result raised.
            if (!PyErr_Occurred()) raise_internal_fault("shared-memory call failed without an error");
            return;
    }
}

void raise_system_error(const SystemError& error) {
    PyObject* type = PyExc_OSError;
    switch (error.kind()) {
        case ErrorKind::BrokenPipe: type = PyExc_BrokenPipeError; break;
        case ErrorKind::ConnectionRefused: type = PyExc_ConnectionRefusedError; break;
        case ErrorKind::ConnectionAborted: type = PyExc_ConnectionAbortedError; break;
        case ErrorKind::ConnectionReset: type = PyExc_ConnectionResetError; break;
        case ErrorKind::Interrupted: type = PyExc_InterruptedError; break;
        case ErrorKind::NotFound: type = PyExc_FileNotFoundError; break;
        case ErrorKind::PermissionDenied: type = PyExc_PermissionError; break;
        case ErrorKind::AlreadyExists: type = PyExc_FileExistsError; break;
        case ErrorKind::WouldBlock: type = PyExc_BlockingIOError; break;
        case ErrorKind::TimedOut: type = PyExc_TimeoutError; break;
        default: break;
    }
    raise_message(type, error.display());
}

PyObject* internal_fault_type() {
    // Created under the interpreter lock on first use, then kept for the life of the process.
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(
            "zorvo_sdk.InternalFault",
            "A broken invariant inside zorvo_sdk. Derived from BaseException so that handlers for "
            "Exception do not swallow it.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

void raise_internal_fault(std::string_view message) {
    PyObject* type = internal_fault_type();
    if (type == nullptr) return;  // creating the type failed; that error is pending
    raise_message(type, message);
}

void prefix_argument_error(const char* argument_name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject* raw_type = nullptr;
    PyObject* raw_value = nullptr;
    PyObject* raw_traceback = nullptr;
    PyErr_Fetch(&raw_type, &raw_value, &raw_traceback);
    PyErr_NormalizeException(&raw_type, &raw_value, &raw_traceback);
    PyRef type = PyRef::steal(raw_type);
    PyRef value = PyRef::steal(raw_value);
    PyRef traceback = PyRef::steal(raw_traceback);
    PyRef text = PyRef::steal(value ? PyObject_Str(value.get()) : PyUnicode_FromString(""));
    if (!text) return;
    PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", argument_name, text.get()));
    if (!message) return;
    PyErr_SetObject(PyExc_TypeError, message.get());
}

}  // namespace zorvo::python
