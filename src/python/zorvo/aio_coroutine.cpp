#include <optional>

#include "aio.hpp"
#include "boundary.hpp"
#include "cpp_object.hpp"

// The object an aio method returns: it behaves as the coroutine of an `async def` method would.
// Nothing happens until it is first awaited; then the call starts, and the coroutine waits for the
// call's future by delegating to the future's own iterator.
namespace zorvo::python::aio {
namespace {

struct CoroutineState {
    PyRef owner;
    StartFunction start;
    std::optional<CallArguments> arguments;  // until the call starts
    PyRef future;   // the call's future once started
    PyRef waiting;  // its iterator
    bool finished = false;

    CoroutineState(PyRef owner_in, StartFunction start_in, CallArguments arguments_in)
        : owner(std::move(owner_in)), start(start_in), arguments(std::move(arguments_in)) {}

    CoroutineState(CoroutineState&&) = delete;
    // A coroutine dropped while it waits: nobody will look at the call's outcome.
    ~CoroutineState() { cancel_future(); }

    void cancel_future() noexcept {
        if (!future) return;
        PyRef saved = take_raised_exception();
        PyRef cancelled = PyRef::steal(PyObject_CallMethod(future.get(), "cancel", nullptr));
        if (!cancelled) PyErr_Clear();
        if (saved) restore_exception(std::move(saved));
        future = PyRef();
    }

    // Lets go of everything once the coroutine can no longer go on.
    void finish() noexcept {
        finished = true;
        future = PyRef();
        waiting = PyRef();
        arguments.reset();
        owner = PyRef();
    }
};

using CoroutineObject = CppObject<CoroutineState>;

PySendResult coroutine_send_result(PyObject* self, PyObject* value, PyObject** result) {
    CoroutineState& state = CoroutineObject::from(self)->state();
    if (state.finished) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    }
    if (!state.waiting) {
        if (value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
        bool is_future = false;
        PyRef started = PyRef::steal(method_boundary([&] {
            return state.start(state.owner.get(), *state.arguments, is_future);
        }));
        if (!started) {
            state.finish();
            return PYGEN_ERROR;
        }
        if (!is_future) {
            state.finish();
            *result = started.release();
            return PYGEN_RETURN;
        }
        state.arguments.reset();
        state.waiting = PyRef::steal(PyObject_CallMethod(started.get(), "__await__", nullptr));
        state.future = std::move(started);
        if (!state.waiting) {
            state.finish();
            return PYGEN_ERROR;
        }
    }
    const PySendResult sent = PyIter_Send(state.waiting.get(), value, result);
    if (sent != PYGEN_NEXT) state.finish();
    return sent;
}

// StopIteration carrying `value` (a tuple or an exception would otherwise be taken apart).
void raise_stop_iteration(PyObject* value) {
    PyRef stop = PyRef::steal(PyObject_CallOneArg(PyExc_StopIteration, value));
    if (stop) PyErr_SetObject(PyExc_StopIteration, stop.get());
}

PyObject* finish_send(PySendResult sent, PyObject* result) {
    if (sent == PYGEN_NEXT) return result;
    if (sent == PYGEN_RETURN) {
        if (result != Py_None) raise_stop_iteration(result);
        else PyErr_SetNone(PyExc_StopIteration);
        Py_DECREF(result);
    }
    return nullptr;
}

PyObject* coroutine_send(PyObject* self, PyObject* value) {
    PyObject* result = nullptr;
    const PySendResult sent = coroutine_send_result(self, value, &result);
    return finish_send(sent, result);
}

PyObject* coroutine_next(PyObject* self) {
    PyObject* result = nullptr;
    const PySendResult sent = coroutine_send_result(self, Py_None, &result);
    if (sent == PYGEN_RETURN && result == Py_None) {
        Py_DECREF(result);
        return nullptr;  // exhausted, no value
    }
    return finish_send(sent, result);
}

// throw(exception) or throw(type[, value[, traceback]]), as generators take it.
PyObject* coroutine_throw(PyObject* self, PyObject* args) {
    CoroutineState& state = CoroutineObject::from(self)->state();
    if (state.waiting) {
        PyRef method = PyRef::steal(PyObject_GetAttrString(state.waiting.get(), "throw"));
        PyObject* result = method ? PyObject_Call(method.get(), args, nullptr) : nullptr;
        if (result == nullptr) state.finish();
        return result;
    }
    // Not started (or over): the exception is raised where the coroutine stands.
    state.finish();
    PyObject* type = nullptr;
    PyObject* value = Py_None;
    PyObject* traceback = Py_None;
    if (!PyArg_UnpackTuple(args, "throw", 1, 3, &type, &value, &traceback)) return nullptr;
    if (PyExceptionInstance_Check(type)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(type)), type);
    } else if (PyExceptionClass_Check(type)) {
        PyErr_SetObject(type, value);
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException");
    }
    return nullptr;
}

PyObject* coroutine_close(PyObject* self, PyObject*) {
    CoroutineState& state = CoroutineObject::from(self)->state();
    state.cancel_future();
    if (state.waiting) {
        PyRef method = PyRef::steal(PyObject_GetAttrString(state.waiting.get(), "close"));
        if (!method) {
            PyErr_Clear();
        } else {
            PyRef closed = PyRef::steal(PyObject_CallNoArgs(method.get()));
            if (!closed) {
                state.finish();
                return nullptr;
            }
        }
    }
    state.finish();
    Py_RETURN_NONE;
}

PyObject* coroutine_await(PyObject* self) { return Py_NewRef(self); }

PyMethodDef coroutine_methods[] = {
    {"send", &coroutine_send, METH_O, "Sends a value into the coroutine."},
    {"throw", &coroutine_throw, METH_VARARGS, "Raises an exception inside the coroutine."},
    {"close", &coroutine_close, METH_NOARGS, "Closes the coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot coroutine_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&CoroutineObject::dealloc)},
    {Py_tp_methods, coroutine_methods},
    {Py_tp_iter, reinterpret_cast<void*>(&coroutine_await)},
    {Py_tp_iternext, reinterpret_cast<void*>(&coroutine_next)},
    {Py_am_await, reinterpret_cast<void*>(&coroutine_await)},
    {Py_am_send, reinterpret_cast<void*>(&coroutine_send_result)},
    {Py_tp_doc, const_cast<char*>("The coroutine of one zorvo.aio call.")},
    {0, nullptr},
};

PyType_Spec coroutine_spec = {
    "zorvo.aio._Call",
    static_cast<int>(sizeof(CoroutineObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    coroutine_slots,
};

}  // namespace

PyObject* new_coroutine(PyObject* owner, StartFunction start, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    PyObject* type = type_object<coroutine_spec>();
    if (type == nullptr) return nullptr;
    return CoroutineObject::create(reinterpret_cast<PyTypeObject*>(type), PyRef::borrow(owner), start,
                                   CallArguments(args, nargs, kwnames));
}

CallArguments::CallArguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
    : nargs_(nargs), kwnames_(PyRef::borrow(kwnames)) {
    const Py_ssize_t count = nargs + (kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames));
    values_.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) values_.push_back(Py_NewRef(args[i]));
}

CallArguments& CallArguments::operator=(CallArguments&& other) noexcept {
    if (this != &other) {
        release();
        values_ = std::move(other.values_);
        other.values_.clear();
        nargs_ = other.nargs_;
        kwnames_ = std::move(other.kwnames_);
    }
    return *this;
}

void CallArguments::release() noexcept {
    for (PyObject* value : values_) Py_DECREF(value);
    values_.clear();
}

bool register_coroutine_type() {
    PyObject* type = type_object<coroutine_spec>();
    if (type == nullptr) return false;
    PyRef abc = PyRef::steal(PyImport_ImportModule("collections.abc"));
    if (!abc) return false;
    PyRef coroutine = PyRef::steal(PyObject_GetAttrString(abc.get(), "Coroutine"));
    if (!coroutine) return false;
    PyRef registered = PyRef::steal(PyObject_CallMethod(coroutine.get(), "register", "O", type));
    return static_cast<bool>(registered);
}

}  // namespace zorvo::python::aio
