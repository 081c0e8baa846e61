#include "tensor.hpp"

#include <string>
#include <utility>
#include <variant>

#include "boundary.hpp"
#include "cpp_object.hpp"

namespace zorvo::python {
namespace {

// The bytes a Tensor owns, exactly as they were filled (no copy here), and how they are seen.
struct TensorState {
    std::variant<net::ResultData, ByteBuffer> storage;
    std::span<std::uint8_t> bytes;
    TensorLayout layout;

    TensorState(net::ResultData result)
        : storage(std::move(result)),
          bytes(std::get<net::ResultData>(storage).bytes()),
          layout(describe_tensor(std::get<net::ResultData>(storage).shape(),
                                 std::get<net::ResultData>(storage).dtype(), bytes.size())) {}
    TensorState(ByteBuffer owned, TensorLayout described)
        : storage(std::move(owned)), bytes(std::get<ByteBuffer>(storage)), layout(std::move(described)) {}
};

using TensorObject = CppObject<TensorState>;

TensorState& state_of(PyObject* self) { return TensorObject::from(self)->state(); }

int tensor_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    TensorState& state = state_of(self);
    // A buffer of no bytes still needs an address.
    static std::uint8_t empty = 0;
    view->buf = state.bytes.empty() ? &empty : state.bytes.data();
    view->obj = Py_NewRef(self);
    view->len = static_cast<Py_ssize_t>(state.bytes.size());
    view->readonly = 0;
    view->itemsize = state.layout.itemsize;
    view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>(state.layout.format) : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    if ((flags & PyBUF_ND) != PyBUF_ND) {
        // A consumer that asked for no shape reads plain bytes.
        view->ndim = 1;
        view->itemsize = 1;
        if (view->format != nullptr) view->format = const_cast<char*>("B");
        view->shape = nullptr;
        view->strides = nullptr;
        return 0;
    }
    // A scalar (no dims) has neither shape nor strides.
    const bool scalar = state.layout.shape.empty();
    view->ndim = static_cast<int>(state.layout.shape.size());
    view->shape = scalar ? nullptr : state.layout.shape.data();
    view->strides = scalar || (flags & PyBUF_STRIDES) != PyBUF_STRIDES ? nullptr : state.layout.strides.data();
    return 0;
}

PyObject* tensor_shape(PyObject* self, void*) {
    const auto& shape = state_of(self).layout.shape;
    PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        PyObject* dim = PyLong_FromSsize_t(shape[i]);
        if (dim == nullptr) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), dim);
    }
    return tuple.release();
}

PyObject* tensor_dtype(PyObject* self, void*) {
    const std::string_view name = state_of(self).layout.dtype;
    return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

PyObject* tensor_nbytes(PyObject* self, void*) {
    return PyLong_FromSize_t(state_of(self).bytes.size());
}

PyObject* tensor_repr(PyObject* self) {
    PyRef shape = PyRef::steal(tensor_shape(self, nullptr));
    if (!shape) return nullptr;
    const std::string dtype(state_of(self).layout.dtype);
    return PyUnicode_FromFormat("<zorvo.Tensor shape=%R dtype='%s' nbytes=%zu>", shape.get(), dtype.c_str(),
                                state_of(self).bytes.size());
}

#if PY_VERSION_HEX < 0x030C0000
// From 3.12 on the interpreter derives __buffer__ from the buffer slot; before, type checkers'
// Buffer protocol still looks for the method, so it is provided by hand.
PyObject* tensor_buffer(PyObject* self, PyObject* flags) {
    if (PyLong_AsLong(flags) == -1 && PyErr_Occurred()) return nullptr;
    return PyMemoryView_FromObject(self);
}

PyMethodDef tensor_methods[] = {
    {"__buffer__", &tensor_buffer, METH_O,
     "__buffer__($self, flags, /)\n--\n\nA memoryview of the tensor's bytes, with its format and shape."},
    {nullptr, nullptr, 0, nullptr},
};
#endif

PyGetSetDef tensor_getset[] = {
    {"shape", &tensor_shape, nullptr, "The result's shape, a tuple of ints (row-major).", nullptr},
    {"dtype", &tensor_dtype, nullptr,
     "The canonical element type name: float32, float64, float16, int32, int64, uint8 or string.", nullptr},
    {"nbytes", &tensor_nbytes, nullptr, "The number of bytes the tensor holds.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot tensor_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&TensorObject::dealloc)},
    {Py_tp_getset, tensor_getset},
#if PY_VERSION_HEX < 0x030C0000
    {Py_tp_methods, tensor_methods},
#endif
    {Py_tp_repr, reinterpret_cast<void*>(&tensor_repr)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(&tensor_getbuffer)},
    {Py_tp_doc,
     const_cast<char*>(
         "An inference result in one buffer that the tensor owns.\n\n"
         "It supports the buffer protocol: writable, C-contiguous, with the item format of its element "
         "type ('f', 'd', 'e', 'i', 'q', or 'B' for uint8 and string) and its shape, so "
         "numpy.asarray(t), memoryview(t) and torch.frombuffer(t, ...) see the data without copying, "
         "and bytes(t) copies it out. Where the engine's shape, the element size and the byte count "
         "disagree, the tensor is one-dimensional uint8 bytes.")},
    {0, nullptr},
};

PyType_Spec tensor_spec = {
    "zorvo.Tensor",
    static_cast<int>(sizeof(TensorObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    tensor_slots,
};

template <class... Args>
PyObject* create(Args&&... args) {
    PyObject* type = tensor_type();
    if (type == nullptr) return nullptr;
    return TensorObject::create(reinterpret_cast<PyTypeObject*>(type), std::forward<Args>(args)...);
}

}  // namespace

PyObject* tensor_type() { return type_object<tensor_spec>(); }

PyObject* new_tensor(net::ResultData result) { return create(std::move(result)); }

PyObject* new_tensor(ByteBuffer bytes, TensorLayout layout) { return create(std::move(bytes), std::move(layout)); }

}  // namespace zorvo::python
