#include <sys/epoll.h>

#include <array>
#include <memory>
#include <optional>
#include <string>

#include "aio.hpp"
#include "boundary.hpp"
#include "classes.hpp"
#include "client_state.hpp"
#include "errors.hpp"
#include "region_arguments.hpp"
#include "region_result.hpp"
#include "result_list.hpp"
#include "socket_arguments.hpp"
#include "tensor.hpp"
#include "zorvo/hybrid/client_core.hpp"
#include "zorvo/net/nonblocking_exchange.hpp"
#include "zorvo/net/socket_client.hpp"
#include "zorvo/net/socket_result.hpp"
#include "zorvo/common/fork_generation.hpp"
#include "zorvo/shm/call_driver.hpp"
#include "zorvo/shm/shm_client_core.hpp"
#include "zorvo/wire/dtype.hpp"

// The clients of zorvo.aio: the cores and argument conversion of zorvo's clients. A socket call's
// exchange runs on the event loop's thread on a non-blocking connection (connecting on a worker
// thread); a shared-memory call is taken through its steps by the client's driver thread; a
// hybrid call runs on the client's runtime. Results are built on the event loop's thread.
namespace zorvo::python::aio {
namespace {

using SocketCore = net::SocketClient;
using ShmCore = shm::ShmClientCore;
using HybridCore = hybrid::HybridClientCore;

template <class Core>
using ClientObject = CppObject<ClientState<Core>>;

template <class Core>
PyObject* completions_of(PyObject* client) {
    return ClientObject<Core>::from(client)->state().completions.get();
}

// What a worker thread may end with besides the call's own outcome.
struct WorkFault {
    bool out_of_memory = false;
    std::string message;

    template <class Body>
    void guard(Body&& body) noexcept {
        try {
            body();
        } catch (const std::bad_alloc&) {
            out_of_memory = true;
        } catch (const std::exception& fault) {
            message = fault.what();
        } catch (...) {
            message = "unknown internal fault";
        }
    }
    // Raises the fault, if there was one.
    bool raised() const {
        if (out_of_memory) {
            PyErr_NoMemory();
            return true;
        }
        if (message.empty()) return false;
        raise_internal_fault(message);
        return true;
    }
};

// ---------------------------------------------------------------------------------------------
// Calls

// A socket call: the exchange runs on the loop thread on a non-blocking connection, watched by the
// client's hub; only connecting (name resolution, connect) runs on a worker thread. Like the
// blocking call, a transport failure is retried once on a fresh connection, and a connection goes
// back to the pool only in step with the engine (its answer read in full).
class SocketInfer final : public Operation {
public:
    SocketInfer(CallArguments& arguments, bool tensor) : keep_(std::move(arguments)), tensor_(tensor) {}

    InferArguments arguments;
    std::shared_ptr<SocketCore> core;

    const CallArguments& kept() const noexcept { return keep_; }

    void begin() override {
        auto named = net::named_tensors_from(arguments.additional_inputs);
        if (!named.ok()) return fail_with(named.error());
        named_ = std::move(named).value();
        if (auto idle = core->take_idle_connection()) return exchange_on(std::move(*idle));
        if (!run_on_worker()) end(nullptr);
    }

    void completed() override {
        if (fault_.raised()) return end(nullptr);
        if (!connected_->ok()) return fail_with(net::ClientError::io(std::move(*connected_).error()));
        exchange_on(std::move(*connected_).value());
    }

    void ready() override { follow(exchange_->advance()); }

protected:
    void work() noexcept override {
        fault_.guard([&] { connected_.emplace(core->connect()); });
    }

private:
    void fail_with(const net::ClientError& error) {
        raise_client_error(error);
        end(nullptr);
    }

    void exchange_on(net::Connection connection) {
        if (!exchange_) {
            auto frame = net::encode_request_frame(
                {arguments.model_id, net::kInferKind, arguments.tensor(), named_, core->api_token()});
            if (!frame.ok()) {
                core->keep_connection(std::move(connection));  // nothing was sent on it
                return fail_with(frame.error());
            }
            exchange_.emplace(std::move(frame).value(), core->shelf());
        }
        follow(exchange_->begin(std::move(connection)));
    }

    void follow(net::NonBlockingExchange::Progress progress) {
        using Progress = net::NonBlockingExchange::Progress;
        if (progress == Progress::Finished) return finish();
        if (!arm(exchange_->fd(), progress == Progress::WantRead ? EPOLLIN : EPOLLOUT)) end(nullptr);
    }

    void finish() {
        auto& received = exchange_->outcome();
        if (!received.ok()) {
            if (!retried_) {
                // Out of step: closed once the retry on a fresh (never pooled) connection is made.
                retried_ = true;
                connected_.reset();
                if (!run_on_worker()) end(nullptr);
                return;
            }
            return fail_with(net::ClientError::io(std::move(received).error()));
        }
        auto outcome = net::socket_result(received.value().status, std::move(received.value().payload));
        // Like the blocking call, a connection whose retry failed is not kept.
        if ((outcome.ok() || !retried_) && !exchange_->overran()) keep(exchange_->take_connection());
        if (!outcome.ok()) return fail_with(outcome.error());
        // end() drops the value of a call nobody waits for any more.
        end(tensor_ ? new_tensor(std::move(outcome).value()) : bytes_to_list(outcome.value().bytes()));
    }

    // Calls end in bursts (one drain of the hub) and their tasks start the next ones in the
    // loop's following turn: the pool holds every connection until then, and only what is still
    // idle after it is cut back to max_pool_size. Otherwise most of a burst would be closed and
    // connected again.
    void keep(net::Connection connection) {
        if (!core->hold_connection(std::move(connection)) || !ask_after_this_turn()) return;
        set_after_turn([weak = std::weak_ptr<SocketCore>(core)] {
            if (auto owner = weak.lock()) owner->trim_pool();
        });
    }

    CallArguments keep_;  // the objects the converted arguments point into
    bool tensor_;
    bool retried_ = false;
    WorkFault fault_;
    std::vector<wire::NamedTensor> named_;
    std::optional<net::NonBlockingExchange> exchange_;
    std::optional<Result<net::Connection, SystemError>> connected_;
};

// What a shared-memory and a hybrid call share: the converted tensor, the host that copies the
// result out of the region, the outcome that comes back from the thread that ended the call, and
// turning it into the call's value on the loop thread.
class RegionOperation : public Operation, public shm::AsyncCall {
public:
    RegionOperation(CallArguments& arguments, bool tensor)
        : shm::AsyncCall(result_), keep_(std::move(arguments)), tensor_(tensor) {}

    TensorArguments tensor;

    void completed() override {
        if (!outcome_->ok()) {
            raise_infer_error(outcome_->error());
            return end(nullptr);
        }
        if (!tensor_) return end(bytes_to_list(result_.bytes()));
        // The call succeeded, so the name parsed.
        const auto requested = wire::parse_dtype(tensor.dtype);
        auto layout = result_.layout(requested.ok() ? requested.value() : wire::TensorDtype::Uint8);
        end(new_tensor(std::move(result_.bytes()), std::move(layout)));
    }

    void done(Result<Unit, shm::InferError> outcome) noexcept override {
        outcome_.emplace(std::move(outcome));
        come_back();
    }

private:
    RegionResult result_;  // off the main thread it never runs signal handlers
    CallArguments keep_;   // the objects the converted arguments point into
    bool tensor_;
    std::optional<Result<Unit, shm::InferError>> outcome_;
};

// A shared-memory call: taken through its steps by the client's driver thread, which polls the
// region for all the client's calls at once.
class ShmInfer final : public RegionOperation {
public:
    using RegionOperation::RegionOperation;
    using Core = ShmCore;
    void use(PyObject* client, std::shared_ptr<Core> core);

    void begin() override {
        set_request(tensor.shape, tensor.dtype, tensor.data.bytes());
        if (auto submitted = driver_->submit(*this); !submitted.ok()) {
            raise_system_error(submitted.error());
            return end(nullptr);
        }
        go_away();  // the driver's until it comes back through the channel
    }

private:
    std::shared_ptr<shm::ShmCallDriver> driver_;
};

// A hybrid call: run on the client's own runtime, whose workers multiplex every call's control
// exchange; no thread waits for it.
class HybridInfer final : public RegionOperation {
public:
    using RegionOperation::RegionOperation;
    using Core = HybridCore;
    void use(PyObject*, std::shared_ptr<Core> core) { core_ = std::move(core); }

    void begin() override {
        set_request(tensor.shape, tensor.dtype, tensor.data.bytes());
        if (auto started = core_->start(*this); !started.ok()) {
            raise_infer_error(started.error());
            return end(nullptr);
        }
        go_away();  // the runtime's until it comes back through the channel
    }

private:
    std::shared_ptr<Core> core_;
};

// The driver of an aio shared-memory client, started with its first call. A forked child starts
// its own and leaves the parent's alone: its thread exists only in the parent.
struct DriverSlot {
    std::shared_ptr<shm::ShmCallDriver> driver;
    std::uint64_t generation;

    ~DriverSlot() {
        if (generation != fork_generation()) new std::shared_ptr<shm::ShmCallDriver>(std::move(driver));
    }
};

std::shared_ptr<shm::ShmCallDriver> driver_of(PyObject* client, const std::shared_ptr<ShmCore>& core) {
    auto& state = ClientObject<ShmCore>::from(client)->state();
    auto* slot = static_cast<DriverSlot*>(state.driver.get());
    if (slot == nullptr || slot->generation != fork_generation()) {
        auto fresh = std::make_shared<DriverSlot>(DriverSlot{std::make_shared<shm::ShmCallDriver>(core), fork_generation()});
        slot = fresh.get();
        state.driver = std::move(fresh);
    }
    return slot->driver;
}

void ShmInfer::use(PyObject* client, std::shared_ptr<Core> core) { driver_ = driver_of(client, core); }

template <class Call, bool kTensor>
PyObject* start_region_infer(PyObject* client, CallArguments& arguments, bool& is_future) {
    std::array<PyObject*, 3> values{};
    if (!bind_region_infer_arguments(kTensor ? "infer_tensor" : "infer", arguments.values(), arguments.nargs(),
                                     arguments.kwnames(), values)) {
        return nullptr;
    }
    auto call = std::make_unique<Call>(arguments, kTensor);
    if (!call->tensor.load(values[0], values[1], values[2])) return nullptr;
    auto core = open_core<typename Call::Core>(client);
    if (!core) return nullptr;
    call->use(client, std::move(core));
    is_future = true;
    return start(completions_of<typename Call::Core>(client), std::move(call));
}

template <bool kTensor>
PyObject* start_socket_infer(PyObject* client, CallArguments& arguments, bool& is_future) {
    static constexpr Signature kSignature = socket_infer_signature(kTensor ? "infer_tensor" : "infer");
    auto call = std::make_unique<SocketInfer>(arguments, kTensor);
    const CallArguments& args = call->kept();
    if (!load_infer_arguments(kSignature, args.values(), args.nargs(), args.kwnames(), call->arguments)) return nullptr;
    call->core = open_core<SocketCore>(client);
    if (!call->core) return nullptr;
    is_future = true;
    return start(completions_of<SocketCore>(client), std::move(call));
}

template <StartFunction Start>
PyObject* lazily(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return new_coroutine(self, Start, args, nargs, kwnames);
}

template <StartFunction Start>
PyObject* lazily_without_arguments(PyObject* self, PyObject*) {
    return new_coroutine(self, Start, nullptr, 0, nullptr);
}

// ---------------------------------------------------------------------------------------------
// Streams: each step (the first one opens the stream) reads one item on a worker thread.

struct StreamState {
    PyRef client;
    std::optional<CallArguments> arguments;  // until the stream is opened
    bool tensors;
    std::optional<net::StreamReader> reader;
    bool reading = false;
    bool ended = false;
    bool abandoned = false;

    StreamState(PyRef client_in, CallArguments arguments_in, bool tensors_in)
        : client(std::move(client_in)), arguments(std::move(arguments_in)), tensors(tensors_in) {}
};

using StreamObject = CppObject<StreamState>;

class StreamStep final : public Operation {
public:
    explicit StreamStep(PyObject* stream) : stream_(PyRef::borrow(stream)) {}

    // For the first step: what opens the stream.
    std::shared_ptr<SocketCore> core;
    std::optional<InferArguments> opening;
    std::optional<CallArguments> keep;
    std::optional<net::StreamReader> reader;

    void begin() override {
        StreamState& state = StreamObject::from(stream_.get())->state();
        state.reading = true;
        if (!opening) reader = std::move(state.reader);
        if (!run_on_worker()) {
            release();
            end(nullptr);
        }
    }

    void completed() override {
        StreamState& state = release();
        if (abandoned()) {
            // An item nobody waits for any more is gone: the stream cannot go on in step.
            state.abandoned = true;
            state.reader.reset();
            return end(Py_NewRef(Py_None));
        }
        if (fault_.raised()) return end(nullptr);
        if (opened_ && !opened_->ok()) {
            state.ended = true;
            raise_stream_open_error(opened_->error());
            return end(nullptr);
        }
        if (!step_->ok()) {
            raise_message(PyExc_RuntimeError, step_->error().message);
            return end(nullptr);
        }
        std::optional<net::ResultData>& item = step_->value();
        if (!item) {
            state.ended = true;
            state.reader.reset();
            PyErr_SetNone(PyExc_StopAsyncIteration);
            return end(nullptr);
        }
        end(state.tensors ? new_tensor(std::move(*item)) : bytes_to_list(item->bytes()));
    }

protected:
    void work() noexcept override {
        fault_.guard([&] {
            if (opening) {
                opened_.emplace(core->infer_stream(opening->model_id, opening->tensor(), opening->additional_inputs));
                if (!opened_->ok()) return;
                reader.emplace(std::move(*opened_).value());
            }
            step_.emplace(reader->next());
        });
    }

private:
    // Gives the reader back to the stream, which may read again.
    StreamState& release() {
        StreamState& state = StreamObject::from(stream_.get())->state();
        state.reading = false;
        state.reader = std::move(reader);
        return state;
    }

    PyRef stream_;
    WorkFault fault_;
    std::optional<Result<net::StreamReader, net::StreamOpenError>> opened_;
    std::optional<Result<std::optional<net::ResultData>, net::StreamError>> step_;
};

constexpr const char* kAbandonedStream =
    "stream abandoned: a read of it was cancelled, so its next item cannot be told apart";

PyObject* start_stream_step(PyObject* stream, CallArguments&, bool& is_future) {
    StreamState& state = StreamObject::from(stream)->state();
    if (state.reading) {
        PyErr_SetString(PyExc_RuntimeError, "anext(): another read of this stream is already running");
        return nullptr;
    }
    if (state.abandoned) {
        PyErr_SetString(PyExc_RuntimeError, kAbandonedStream);
        return nullptr;
    }
    if (state.ended) {
        PyErr_SetNone(PyExc_StopAsyncIteration);
        return nullptr;
    }
    auto step = std::make_unique<StreamStep>(stream);
    if (state.arguments) {
        static constexpr Signature kStream = socket_infer_signature("infer_stream");
        static constexpr Signature kStreamTensor = socket_infer_signature("infer_stream_tensor");
        step->opening.emplace();
        const CallArguments& args = *state.arguments;
        if (!load_infer_arguments(state.tensors ? kStreamTensor : kStream, args.values(), args.nargs(),
                                  args.kwnames(), *step->opening)) {
            state.ended = true;
            return nullptr;
        }
        step->core = open_core<SocketCore>(state.client.get());
        if (!step->core) return nullptr;
        step->keep = std::move(state.arguments);
        state.arguments.reset();
    }
    is_future = true;
    return start(completions_of<SocketCore>(state.client.get()), std::move(step));
}

PyObject* stream_aiter(PyObject* self) { return Py_NewRef(self); }

PyObject* stream_anext(PyObject* self) {
    return new_coroutine(self, &start_stream_step, nullptr, 0, nullptr);
}

PyType_Slot stream_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&StreamObject::dealloc)},
    {Py_am_aiter, reinterpret_cast<void*>(&stream_aiter)},
    {Py_am_anext, reinterpret_cast<void*>(&stream_anext)},
    {Py_tp_doc, const_cast<char*>("The items of one streamed inference, read as they arrive (async for).")},
    {0, nullptr},
};

PyType_Spec stream_spec = {
    "zorvo.aio._Stream",
    static_cast<int>(sizeof(StreamObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    stream_slots,
};

template <bool kTensors>
PyObject* open_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method_boundary([&]() -> PyObject* {
        PyObject* type = type_object<stream_spec>();
        if (type == nullptr) return nullptr;
        return StreamObject::create(reinterpret_cast<PyTypeObject*>(type), PyRef::borrow(self),
                                    CallArguments(args, nargs, kwnames), kTensors);
    });
}

// ---------------------------------------------------------------------------------------------
// Lifetime: close(), async with

template <class Core>
PyObject* start_close(PyObject* client, CallArguments&, bool&) {
    auto& state = ClientObject<Core>::from(client)->state();
    // Calls in flight keep the core (and the driver) until they finish; whichever lets go last
    // destroys it.
    std::shared_ptr<Core> closing = std::move(state.core);
    closing.reset();
    state.driver.reset();
    close_hub(state.completions.get());
    Py_RETURN_NONE;
}

PyObject* start_enter(PyObject* client, CallArguments&, bool&) { return Py_NewRef(client); }

template <class Core>
PyObject* start_exit(PyObject* client, CallArguments& arguments, bool& is_future) {
    PyRef closed = PyRef::steal(start_close<Core>(client, arguments, is_future));
    if (!closed) return nullptr;
    Py_RETURN_FALSE;  // exceptions from the block go on
}

template <class Core>
PyObject* client_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs != 3 || kwnames != nullptr) {
        PyErr_Format(PyExc_TypeError, "__aexit__() takes 3 positional arguments but %zd were given", nargs);
        return nullptr;
    }
    return new_coroutine(self, &start_exit<Core>, args, nargs, nullptr);
}

template <class Core>
PyObject* new_client(PyTypeObject* type, std::shared_ptr<Core> core, std::string fields) {
    PyRef completions = PyRef::steal(new_hub());
    if (!completions) return nullptr;
    PyRef client = PyRef::steal(ClientObject<Core>::create(type, std::move(core), std::move(fields)));
    if (!client) return nullptr;
    ClientObject<Core>::from(client.get())->state().completions = std::move(completions);
    return client.release();
}

template <class Core>
void client_dealloc(PyObject* self) noexcept {
    auto* object = ClientObject<Core>::from(self);
    if (object->constructed && object->state().completions) {
        // A dealloc may run while an exception is being raised: it must not be lost.
        PyRef raised = take_raised_exception();
        close_hub(object->state().completions.get());
        if (raised) restore_exception(std::move(raised));
    }
    ClientObject<Core>::dealloc(self);
}

#define ZORVO_AIO_INFER_DOC(name, parameters, result)                                                         \
    name parameters "\n--\n\nA coroutine: the same call as zorvo's " name ", while the event loop goes on; " \
                    "returns " result "."
#define ZORVO_AIO_SOCKET_PARAMETERS "($self, model_id, shape, dtype, data, additional_inputs=None)"
#define ZORVO_AIO_REGION_PARAMETERS "($self, shape, dtype, data)"

#define ZORVO_AIO_LIFETIME_METHODS(Core)                                                                      \
    {"close", &lazily_without_arguments<&start_close<Core>>, METH_NOARGS,                                     \
     "close($self, /)\n--\n\nA coroutine that releases the client's connections, region mapping and "        \
     "threads. Calls already running finish first; later calls raise ValueError. A second close does "       \
     "nothing."},                                                                                             \
        {"__aenter__", &lazily_without_arguments<&start_enter>, METH_NOARGS,                                  \
         "__aenter__($self, /)\n--\n\nReturns the client."},                                                  \
        {"__aexit__", fastcall<&client_exit<Core>>(), METH_FASTCALL | METH_KEYWORDS,                          \
         "__aexit__($self, exc_type, exc_value, traceback, /)\n--\n\nCloses the client."}

// ---------------------------------------------------------------------------------------------
// ZorvoClient

PyObject* socket_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return method_boundary([&]() -> PyObject* {
        std::shared_ptr<SocketCore> core;
        std::string fields;
        // Worker threads run no signal handlers; the event loop's thread does.
        if (!open_socket_core(args, kwargs, false, core, fields)) return nullptr;
        return new_client(type, std::move(core), std::move(fields));
    });
}

PyMethodDef socket_methods[] = {
    {"infer", fastcall<&lazily<&start_socket_infer<false>>>(), METH_FASTCALL | METH_KEYWORDS,
     ZORVO_AIO_INFER_DOC("infer", ZORVO_AIO_SOCKET_PARAMETERS, "the result's bytes as a list of ints")},
    {"infer_tensor", fastcall<&lazily<&start_socket_infer<true>>>(), METH_FASTCALL | METH_KEYWORDS,
     ZORVO_AIO_INFER_DOC("infer_tensor", ZORVO_AIO_SOCKET_PARAMETERS, "the result as a zorvo.Tensor")},
    {"infer_stream", fastcall<&open_stream<false>>(), METH_FASTCALL | METH_KEYWORDS,
     "infer_stream" ZORVO_AIO_SOCKET_PARAMETERS "\n--\n\nAn asynchronous iterator over the items of a streamed "
     "inference on a connection of its own, each a list of ints; the request is sent by the first step."},
    {"infer_stream_tensor", fastcall<&open_stream<true>>(), METH_FASTCALL | METH_KEYWORDS,
     "infer_stream_tensor" ZORVO_AIO_SOCKET_PARAMETERS "\n--\n\nLike infer_stream, with each item a zorvo.Tensor."},
    ZORVO_AIO_LIFETIME_METHODS(SocketCore),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot socket_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&socket_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&client_dealloc<SocketCore>)},
    {Py_tp_methods, socket_methods},
    {Py_tp_repr, reinterpret_cast<void*>(&client_repr<SocketCore>)},
    {Py_tp_doc,
     const_cast<char*>("ZorvoClient(endpoint=None, *, protocol=None, host=None, port=None, socket_path=None, "
                       "pipe_name=None, max_pool_size=..., api_token=None)\n--\n\n"
                       "An asyncio client of the engine's socket protocol, with the constructor of "
                       "zorvo.ZorvoClient. Any number of calls may be in flight on one client, each on a "
                       "pooled connection of its own; the event loop never waits for one.")},
    {0, nullptr},
};

PyType_Spec socket_spec = {
    "zorvo.aio.ZorvoClient",
    static_cast<int>(sizeof(ClientObject<SocketCore>)),
    0,
    Py_TPFLAGS_DEFAULT,
    socket_slots,
};

// ---------------------------------------------------------------------------------------------
// ZorvoShmClient and ZorvoHybridClient

PyObject* shm_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return method_boundary([&]() -> PyObject* {
        std::shared_ptr<ShmCore> core;
        std::string fields;
        if (!open_shm_core(args, kwargs, core, fields)) return nullptr;
        return new_client(type, std::move(core), std::move(fields));
    });
}

PyMethodDef shm_methods[] = {
    {"infer", fastcall<&lazily<&start_region_infer<ShmInfer, false>>>(), METH_FASTCALL | METH_KEYWORDS,
     ZORVO_AIO_INFER_DOC("infer", ZORVO_AIO_REGION_PARAMETERS, "the result's bytes as a list of ints")},
    {"infer_tensor", fastcall<&lazily<&start_region_infer<ShmInfer, true>>>(), METH_FASTCALL | METH_KEYWORDS,
     ZORVO_AIO_INFER_DOC("infer_tensor", ZORVO_AIO_REGION_PARAMETERS, "the result as a zorvo.Tensor")},
    ZORVO_AIO_LIFETIME_METHODS(ShmCore),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot shm_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&shm_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&client_dealloc<ShmCore>)},
    {Py_tp_methods, shm_methods},
    {Py_tp_repr, reinterpret_cast<void*>(&client_repr<ShmCore>)},
    {Py_tp_doc, const_cast<char*>("ZorvoShmClient(shm_name)\n--\n\n"
                                  "An asyncio client of the engine's shared-memory region `shm_name`, "
                                  "attached at construction; many requests may be in the queues at once.")},
    {0, nullptr},
};

PyType_Spec shm_spec = {
    "zorvo.aio.ZorvoShmClient",
    static_cast<int>(sizeof(ClientObject<ShmCore>)),
    0,
    Py_TPFLAGS_DEFAULT,
    shm_slots,
};

PyObject* hybrid_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return method_boundary([&]() -> PyObject* {
        std::shared_ptr<HybridCore> core;
        std::string fields;
        if (!open_hybrid_core(args, kwargs, core, fields)) return nullptr;
        return new_client(type, std::move(core), std::move(fields));
    });
}

PyMethodDef hybrid_methods[] = {
    {"infer", fastcall<&lazily<&start_region_infer<HybridInfer, false>>>(), METH_FASTCALL | METH_KEYWORDS,
     ZORVO_AIO_INFER_DOC("infer", ZORVO_AIO_REGION_PARAMETERS, "the result's bytes as a list of ints")},
    {"infer_tensor", fastcall<&lazily<&start_region_infer<HybridInfer, true>>>(), METH_FASTCALL | METH_KEYWORDS,
     ZORVO_AIO_INFER_DOC("infer_tensor", ZORVO_AIO_REGION_PARAMETERS, "the result as a zorvo.Tensor")},
    ZORVO_AIO_LIFETIME_METHODS(HybridCore),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot hybrid_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&hybrid_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&client_dealloc<HybridCore>)},
    {Py_tp_methods, hybrid_methods},
    {Py_tp_repr, reinterpret_cast<void*>(&client_repr<HybridCore>)},
    {Py_tp_doc, const_cast<char*>("ZorvoHybridClient(shm_name, socket_path)\n--\n\n"
                                  "An asyncio client that stages tensors in the region `shm_name` and "
                                  "announces them on the Unix socket `socket_path`, over several control "
                                  "connections at once.")},
    {0, nullptr},
};

PyType_Spec hybrid_spec = {
    "zorvo.aio.ZorvoHybridClient",
    static_cast<int>(sizeof(ClientObject<HybridCore>)),
    0,
    Py_TPFLAGS_DEFAULT,
    hybrid_slots,
};

PyModuleDef submodule_definition = {
    PyModuleDef_HEAD_INIT,
    "zorvo.aio",
    "asyncio clients of the Zorvo inference engine: the clients of zorvo, whose methods are coroutines. "
    "Many calls may be in flight on one client; the event loop only starts calls and builds their "
    "results, and never waits for the engine.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyObject* socket_client_type() { return type_object<socket_spec>(); }
PyObject* shm_client_type() { return type_object<shm_spec>(); }
PyObject* hybrid_client_type() { return type_object<hybrid_spec>(); }

bool add_submodule(PyObject* zorvo_module) {
    if (!register_coroutine_type()) return false;
    PyRef module = PyRef::steal(PyModule_Create(&submodule_definition));
    if (!module) return false;
    const std::array<std::pair<const char*, PyObject* (*)()>, 3> classes = {{
        {"ZorvoClient", &socket_client_type},
        {"ZorvoShmClient", &shm_client_type},
        {"ZorvoHybridClient", &hybrid_client_type},
    }};
    for (const auto& [name, make] : classes) {
        PyObject* type = make();
        if (type == nullptr || PyModule_AddObjectRef(module.get(), name, type) < 0) return false;
    }
    PyObject* modules = PyImport_GetModuleDict();
    if (PyDict_SetItemString(modules, "zorvo.aio", module.get()) < 0) return false;
    return PyModule_AddObjectRef(zorvo_module, "aio", module.get()) == 0;
}

}  // namespace zorvo::python::aio
