// The binding's boundary pieces inside an embedded interpreter: what reaches Python when a method
// fails, and how arguments become core values.

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "boundary.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "py_ref.hpp"
#include "result_list.hpp"
#include "zorvo/tensor_layout.hpp"

namespace zorvo::python {
namespace {

// The pending exception, taken out of the interpreter.
struct Raised {
    PyRef type;
    PyRef value;

    static Raised take() {
        PyObject* type = nullptr;
        PyObject* value = nullptr;
        PyObject* traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        Py_XDECREF(traceback);
        return {PyRef::steal(type), PyRef::steal(value)};
    }

    std::string message() const {
        PyRef text = PyRef::steal(PyObject_Str(value.get()));
        return text ? PyUnicode_AsUTF8(text.get()) : "<unprintable>";
    }

    Py_ssize_t argument_count() const {
        PyRef args = PyRef::steal(PyObject_GetAttrString(value.get(), "args"));
        return args ? PyTuple_GET_SIZE(args.get()) : -1;
    }

    bool chained() const {
        PyRef cause = PyRef::steal(PyException_GetCause(value.get()));
        PyRef context = PyRef::steal(PyException_GetContext(value.get()));
        return cause || context;
    }
};

TEST(MethodBoundary, CppExceptionsBecomeTheInternalFault) {
    PyObject* result = method_boundary([]() -> PyObject* { throw std::logic_error("slot index past the class"); });
    EXPECT_EQ(result, nullptr);
    Raised raised = Raised::take();
    ASSERT_TRUE(raised.type);
    EXPECT_EQ(raised.type.get(), internal_fault_type());
    // Derived from BaseException but not from Exception, so `except Exception` does not swallow it.
    EXPECT_TRUE(PyObject_IsSubclass(raised.type.get(), PyExc_BaseException));
    EXPECT_FALSE(PyObject_IsSubclass(raised.type.get(), PyExc_Exception));
    EXPECT_EQ(raised.message(), "slot index past the class");
    EXPECT_EQ(raised.argument_count(), 1);
    // One type per process.
    EXPECT_EQ(internal_fault_type(), internal_fault_type());

    EXPECT_EQ(status_boundary([]() -> int { throw 42; }), -1);
    EXPECT_EQ(Raised::take().type.get(), internal_fault_type());
}

TEST(MethodBoundary, AllocationFailureIsMemoryError) {
    EXPECT_EQ(method_boundary([]() -> PyObject* { throw std::bad_alloc(); }), nullptr);
    EXPECT_EQ(Raised::take().type.get(), PyExc_MemoryError);
}

TEST(ErrorMapping, SystemErrorsBecomeTheExceptionOfTheirKind) {
    const std::pair<int, PyObject*> table[] = {
        {EPIPE, PyExc_BrokenPipeError},          {ECONNREFUSED, PyExc_ConnectionRefusedError},
        {ECONNABORTED, PyExc_ConnectionAbortedError}, {ECONNRESET, PyExc_ConnectionResetError},
        {EINTR, PyExc_InterruptedError},         {ENOENT, PyExc_FileNotFoundError},
        {EACCES, PyExc_PermissionError},         {EEXIST, PyExc_FileExistsError},
        {EAGAIN, PyExc_BlockingIOError},         {ETIMEDOUT, PyExc_TimeoutError},
        {EMFILE, PyExc_OSError},
    };
    for (const auto& [code, expected] : table) {
        const SystemError error = SystemError::from_errno(code);
        raise_system_error(error);
        Raised raised = Raised::take();
        EXPECT_EQ(raised.type.get(), expected) << code;
        EXPECT_EQ(raised.message(), error.display());
        EXPECT_EQ(raised.argument_count(), 1);
    }
    // A library check without an errno is an OSError carrying the check's own text.
    raise_system_error(SystemError::custom(ErrorKind::UnexpectedEof, "failed to fill whole buffer"));
    Raised raised = Raised::take();
    EXPECT_EQ(raised.type.get(), PyExc_OSError);
    EXPECT_EQ(raised.message(), "failed to fill whole buffer");
}

TEST(ErrorMapping, ClientErrorVariantsBecomeFixedExceptions) {
    struct Case {
        net::ClientError error;
        PyObject* expected;
        std::string message;
    };
    const Case cases[] = {
        {net::ClientError::io(SystemError::from_errno(ECONNREFUSED)), PyExc_ConnectionError,
         "Connection refused (os error 111)"},
        {net::ClientError::invalid_config("Endpoint cannot be empty"), PyExc_ValueError, "Endpoint cannot be empty"},
        {net::ClientError::invalid_request("Invalid input: Unsupported dtype: x"), PyExc_ValueError,
         "Invalid input: Unsupported dtype: x"},
        {net::ClientError::serialization("io error: unexpected end of file"), PyExc_RuntimeError,
         "io error: unexpected end of file"},
        {net::ClientError::server("engine says \xEF\xBF\xBD"), PyExc_RuntimeError, "engine says \xEF\xBF\xBD"},
    };
    for (const Case& c : cases) {
        raise_client_error(c.error);
        Raised raised = Raised::take();
        // The exact class: a refused connection through this path is ConnectionError itself.
        EXPECT_EQ(raised.type.get(), c.expected) << c.message;
        EXPECT_EQ(raised.message(), c.message);
        EXPECT_EQ(raised.argument_count(), 1);
    }
}

TEST(ArgumentErrors, TypeErrorsGetThePrefixAndNoChain) {
    PyErr_SetString(PyExc_TypeError, "'int' object cannot be converted to 'PyString'");
    prefix_argument_error("host");
    Raised raised = Raised::take();
    EXPECT_EQ(raised.type.get(), PyExc_TypeError);
    EXPECT_EQ(raised.message(), "argument 'host': 'int' object cannot be converted to 'PyString'");
    EXPECT_FALSE(raised.chained());

    // Any other conversion error passes through unchanged.
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    prefix_argument_error("port");
    Raised overflow = Raised::take();
    EXPECT_EQ(overflow.type.get(), PyExc_OverflowError);
    EXPECT_EQ(overflow.message(), "out of range integral type conversion attempted");
}

TEST(ByteArguments, BuffersAndSequencesGiveTheSameBytes) {
    PyRef as_bytes = PyRef::steal(PyBytes_FromStringAndSize("\x00\x7f\xff", 3));
    PyRef as_list = PyRef::steal(Py_BuildValue("[iii]", 0, 127, 255));
    ByteArgument from_buffer;
    ByteArgument from_list;
    ASSERT_TRUE(from_buffer.load(as_bytes.get()));
    ASSERT_TRUE(from_list.load(as_list.get()));
    EXPECT_EQ(from_buffer.to_vector(), (std::vector<std::uint8_t>{0, 127, 255}));
    EXPECT_EQ(from_list.to_vector(), from_buffer.to_vector());

    // A strided view is copied into contiguous bytes.
    PyRef strided = PyRef::steal(PyRun_String("memoryview(bytes(range(10)))[::3]", Py_eval_input,
                                              PyEval_GetBuiltins(), PyEval_GetBuiltins()));
    ASSERT_TRUE(strided);
    ByteArgument from_strided;
    ASSERT_TRUE(from_strided.load(strided.get()));
    EXPECT_EQ(from_strided.to_vector(), (std::vector<std::uint8_t>{0, 3, 6, 9}));

    // Items outside 0..255 and text are refused whichever path would have been taken.
    PyRef too_big = PyRef::steal(Py_BuildValue("[i]", 256));
    ByteArgument refused;
    EXPECT_FALSE(refused.load(too_big.get()));
    EXPECT_EQ(Raised::take().type.get(), PyExc_OverflowError);
    PyRef text = PyRef::steal(PyUnicode_FromString("abc"));
    EXPECT_FALSE(refused.load(text.get()));
    Raised raised = Raised::take();
    EXPECT_EQ(raised.type.get(), PyExc_TypeError);
    EXPECT_EQ(raised.message(), "Can't extract `str` to `Vec`");
}

TEST(ResultLists, SmallAndLargeResultsHoldTheBytesAsInts) {
    // The first list fetches the 256 byte values once; the cache keeps one reference to each. The
    // plain path, the only one of a free-threaded interpreter, is checked on every build.
    PyRef warm_up = PyRef::steal(bytes_to_list(std::vector<std::uint8_t>{7}));
    warm_up = PyRef();
    for (auto* build : {&bytes_to_list, &bytes_to_list_plain}) {
        for (std::size_t size : {std::size_t{0}, std::size_t{3}, std::size_t{5000}}) {
            std::vector<std::uint8_t> bytes(size);
            for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7);
            PyObject* sample = PyLong_FromLong(7);  // a cached small int shared with the list
            [[maybe_unused]] const Py_ssize_t references_before = Py_REFCNT(sample);
            PyRef list = PyRef::steal(build(bytes));
            ASSERT_TRUE(list);
            ASSERT_EQ(PyList_GET_SIZE(list.get()), static_cast<Py_ssize_t>(size));
            [[maybe_unused]] Py_ssize_t sevens = 0;
            for (std::size_t i = 0; i < size; ++i) {
                EXPECT_EQ(PyLong_AsLong(PyList_GET_ITEM(list.get(), static_cast<Py_ssize_t>(i))), bytes[i]);
                if (bytes[i] == 7) ++sevens;
            }
#if PY_VERSION_HEX < 0x030C0000
            // Every slot of the list owns one reference to its int. (Small ints are immortal from
            // 3.12: their counts no longer move.)
            EXPECT_EQ(Py_REFCNT(sample), references_before + sevens);
            list = PyRef();
            EXPECT_EQ(Py_REFCNT(sample), references_before);
#endif
            Py_DECREF(sample);
        }
    }
}

// What a zorvo.Tensor exports: the engine's shape and type when they account for every byte,
// one-dimensional uint8 bytes otherwise.
TEST(TensorLayouts, ShapeTypeAndByteCountMustAgree) {
    using wire::TensorDtype;
    const std::vector<std::int64_t> matrix{2, 3};
    const TensorLayout floats = describe_tensor(matrix, TensorDtype::Float64, 48);
    EXPECT_EQ(floats.shape, (std::vector<Py_ssize_t>{2, 3}));
    EXPECT_EQ(floats.strides, (std::vector<Py_ssize_t>{24, 8}));
    EXPECT_STREQ(floats.format, "d");
    EXPECT_EQ(floats.dtype, "float64");

    const std::vector<std::int64_t> negative{-2, -3};
    const std::vector<std::int64_t> overflowing{1LL << 40, 1LL << 40};
    for (const auto& [shape, dtype, nbytes] :
         {std::tuple{std::span<const std::int64_t>(matrix), std::optional(TensorDtype::Float64), std::size_t{47}},
          std::tuple{std::span<const std::int64_t>(negative), std::optional(TensorDtype::Uint8), std::size_t{6}},
          std::tuple{std::span<const std::int64_t>(overflowing), std::optional(TensorDtype::Int64), std::size_t{0}},
          std::tuple{std::span<const std::int64_t>(matrix), std::optional<TensorDtype>{}, std::size_t{6}}}) {
        const TensorLayout bytes = describe_tensor(shape, dtype, nbytes);
        EXPECT_EQ(bytes.shape, (std::vector<Py_ssize_t>{static_cast<Py_ssize_t>(nbytes)}));
        EXPECT_STREQ(bytes.format, "B");
        EXPECT_EQ(bytes.dtype, "uint8");
    }
}

TEST(TensorLayouts, RegionCodeZeroTakesTheRequestsTypeWhenItSharesTheCode) {
    using wire::TensorDtype;
    EXPECT_EQ(region_result_dtype(0, TensorDtype::Float16), TensorDtype::Float16);
    EXPECT_EQ(region_result_dtype(0, TensorDtype::String), TensorDtype::String);
    EXPECT_EQ(region_result_dtype(0, TensorDtype::Int64), TensorDtype::Float32);
    EXPECT_EQ(region_result_dtype(2, TensorDtype::Uint8), TensorDtype::Int32);
    EXPECT_EQ(region_result_dtype(4, TensorDtype::Uint8), std::nullopt);
}

}  // namespace
}  // namespace zorvo::python

// The interpreter keeps allocations past finalization by design; under LeakSanitizer those are not
// this library's leaks. (Ignored when the test is built without the sanitizer.)
extern "C" const char* __lsan_default_suppressions() { return "leak:libpython3"; }

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    // Locate the standard library as the interpreter the module is built for would.
    PyConfig_SetBytesString(&config, &config.program_name, ZORVO_TEST_PYTHON_EXECUTABLE);
    const PyStatus status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) Py_ExitStatusException(status);
    const int result = RUN_ALL_TESTS();
    Py_Finalize();
    return result;
}
