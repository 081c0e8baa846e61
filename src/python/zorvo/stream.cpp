#include <mutex>
#include <optional>

#include "boundary.hpp"
#include "cpp_object.hpp"
#include "errors.hpp"
#include "result_list.hpp"
#include "tensor.hpp"
#include "turns.hpp"
#include "classes.hpp"

namespace zorvo::python {
namespace {

// A stream read with the interpreter lock released. Steps of one stream never overlap: a thread
// that calls next() while another reads waits for its turn.
struct StreamState {
    net::StreamReader reader;
    bool tensors;
    Turns turns;

    StreamState(net::StreamReader opened, bool as_tensors) : reader(std::move(opened)), tensors(as_tensors) {}
};

using StreamObject = CppObject<StreamState>;

PyObject* stream_iter(PyObject* self) { return Py_NewRef(self); }

PyObject* stream_next(PyObject* self) {
    return method_boundary([&]() -> PyObject* {
        StreamState& state = StreamObject::from(self)->state();
        std::optional<Result<std::optional<net::ResultData>, net::StreamError>> step;
        {
            Turns::Turn turn = state.turns.wait();
            step.emplace(state.reader.next());
        }
        if (!step->ok()) {
            if (PyErr_Occurred()) return nullptr;  // a signal handler raised during the wait
            raise_message(PyExc_RuntimeError, step->error().message);
            return nullptr;
        }
        std::optional<net::ResultData>& item = step->value();
        if (!item) return nullptr;  // end of the stream: StopIteration without a value
        if (state.tensors) return new_tensor(std::move(*item));
        return bytes_to_list(item->bytes());
    });
}

PyType_Slot stream_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&StreamObject::dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(&stream_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(&stream_next)},
    {Py_tp_doc, const_cast<char*>("The items of one streamed inference, read as they arrive.")},
    {0, nullptr},
};

PyType_Spec stream_spec = {
    "zorvo.StreamIterator",
    static_cast<int>(sizeof(StreamObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    stream_slots,
};

}  // namespace

PyObject* new_released_stream(net::StreamReader reader, bool tensors) {
    PyObject* type = type_object<stream_spec>();
    if (type == nullptr) return nullptr;
    return StreamObject::create(reinterpret_cast<PyTypeObject*>(type), std::move(reader), tensors);
}

}  // namespace zorvo::python
