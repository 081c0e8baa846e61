#include "stream_iterator.hpp"

#include "boundary.hpp"
#include "cpp_object.hpp"
#include "errors.hpp"
#include "result_list.hpp"

namespace zorvo::python {
namespace {

using StreamObject = CppObject<net::StreamReader>;

PyObject* stream_iter(PyObject* self) {
    SharedTake take(StreamObject::from(self)->borrow);
    if (!take.ok()) return nullptr;
    return Py_NewRef(self);
}

PyObject* stream_next(PyObject* self) {
    return method_boundary([&]() -> PyObject* {
        StreamObject* object = StreamObject::from(self);
        ExclusiveTake take(object->borrow);
        if (!take.ok()) return nullptr;
        auto step = object->state().next();
        if (!step.ok()) {
            raise_message(PyExc_RuntimeError, step.error().message);
            return nullptr;
        }
        if (!step.value()) return nullptr;  // end of the stream: StopIteration without a value
        return bytes_to_list(step.value()->bytes());
    });
}

PyType_Slot stream_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&StreamObject::dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(&stream_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(&stream_next)},
    {0, nullptr},
};

PyType_Spec stream_spec = {
    "zorvo_sdk.StreamIterator",
    static_cast<int>(sizeof(StreamObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    stream_slots,
};

PyObject* stream_iterator_type() { return type_object<stream_spec>(); }

}  // namespace

PyObject* new_stream_iterator(net::StreamReader reader) {
    PyObject* type = stream_iterator_type();
    if (type == nullptr) return nullptr;
    return StreamObject::create(reinterpret_cast<PyTypeObject*>(type), std::move(reader));
}

}  // namespace zorvo::python
