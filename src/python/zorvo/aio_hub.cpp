#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <utility>

#include "aio.hpp"
#include "boundary.hpp"
#include "cpp_object.hpp"
#include "errors.hpp"
#include "zorvo/common/event_set.hpp"
#include "zorvo/common/fork_generation.hpp"

namespace zorvo::python::aio {
namespace {

// The threads every aio client's blocking steps run on. Never destroyed: at exit its threads may
// still be inside calls, and the process ends them. A forked child starts a pool of its own, since
// the parent's threads do not exist there.
WorkerPool& workers() {
    static WorkerPool* pool = nullptr;
    static std::uint64_t generation = 0;
    if (pool == nullptr || generation != fork_generation()) {
        pool = new WorkerPool();
        generation = fork_generation();
    }
    return *pool;
}

PyObject* interned(const char* text) { return PyUnicode_InternFromString(text); }  // kept for good

PyObject* running_loop() {
    static PyObject* get_running_loop = nullptr;
    if (get_running_loop == nullptr) {
        PyRef asyncio = PyRef::steal(PyImport_ImportModule("asyncio"));
        if (!asyncio) return nullptr;
        get_running_loop = PyObject_GetAttrString(asyncio.get(), "get_running_loop");
        if (get_running_loop == nullptr) return nullptr;
    }
    return PyObject_CallNoArgs(get_running_loop);
}

}  // namespace

constexpr std::size_t kCallsPerTurn = 16;

// A client's calls in flight, and the event set its event loop watches: the completion channel's
// descriptor, tagged null, and the sockets of calls in flight, tagged with their operation.
struct Hub {
    std::optional<EventSet> events;
    std::shared_ptr<CompletionChannel> channel;
    std::uint64_t generation = 0;
    PyRef loop;  // watching `events`; empty when no loop does
    Operation* in_flight = nullptr;  // a list, linked through the operations
    bool closed = false;
    std::deque<Operation*> finished;  // taken from the channel, their last step still to run
    std::function<void()> after_turn;  // see Operation::ask_after_this_turn
    bool after_turn_scheduled = false;
    bool after_turn_asked_again = false;  // since it was scheduled

    Hub() = default;
    Hub(const Hub&) = delete;
    ~Hub() {
        // Left only when the event loop went away with calls in flight. Those on a worker thread
        // are still in use there and are left to it.
        if (generation != fork_generation()) return;
        for (Operation* operation = in_flight; operation != nullptr;) {
            Operation* next = operation->next_;
            if (!operation->on_worker_) delete operation;
            operation = next;
        }
    }

    void add(Operation* operation) noexcept {
        operation->next_ = in_flight;
        if (in_flight != nullptr) in_flight->previous_ = operation;
        in_flight = operation;
    }

    void remove(Operation* operation) noexcept {
        if (operation->previous_ != nullptr) operation->previous_->next_ = operation->next_;
        else in_flight = operation->next_;
        if (operation->next_ != nullptr) operation->next_->previous_ = operation->previous_;
    }

    // Runs one step of `operation` and lets it go if that step ended it.
    template <class Step>
    void step(Operation* operation, Step&& run) {
        PyRef done = PyRef::steal(method_boundary([&]() -> PyObject* {
            run(*operation);
            Py_RETURN_NONE;
        }));
        if (!done) {
            // An unexpected failure inside a step ends the call with it.
            if (!operation->ended_ && !operation->on_worker_) operation->end(nullptr);
            else PyErr_WriteUnraisable(nullptr);
        }
        if (operation->ended_ && !operation->on_worker_) {
            remove(operation);
            delete operation;
        }
    }

    bool loop_closed() const {
        static PyObject* is_closed = interned("is_closed");
        PyRef closed = PyRef::steal(PyObject_CallMethodNoArgs(loop.get(), is_closed));
        if (!closed) {
            PyErr_Clear();
            return false;
        }
        return closed.get() == Py_True;
    }

    void unwatch() {
        if (!loop) return;
        static PyObject* remove_reader = interned("remove_reader");
        PyRef fd = PyRef::steal(PyLong_FromLong(events->fd()));
        PyRef done = PyRef::steal(fd ? PyObject_CallMethodOneArg(loop.get(), remove_reader, fd.get()) : nullptr);
        if (!done) PyErr_Clear();  // a loop already closed
        loop = PyRef();
        after_turn_scheduled = false;  // the next loop schedules it afresh
    }

    // Asks the watching loop to call the hub's method `name` once the callbacks scheduled so far
    // have run; false (the error cleared) when the loop takes no callback any more.
    bool call_soon(PyObject* self, PyObject* name) {
        static PyObject* call_soon_name = interned("call_soon");
        PyRef callback = PyRef::steal(PyObject_GetAttr(self, name));
        PyRef scheduled =
            PyRef::steal(callback && loop ? PyObject_CallMethodOneArg(loop.get(), call_soon_name, callback.get()) : nullptr);
        if (!scheduled) PyErr_Clear();
        return bool(scheduled);
    }

    void schedule_after_turn(PyObject* self) {
        if (!after_turn || after_turn_scheduled || !loop) return;
        static PyObject* after_turn_name = interned("_after_turn");
        after_turn_asked_again = false;
        after_turn_scheduled = call_soon(self, after_turn_name);
        if (!after_turn_scheduled) run_after_turn(self);  // a loop going away: now
    }

    void run_after_turn(PyObject* self) {
        after_turn_scheduled = false;
        // Calls that ended after it was scheduled (a second drain in that turn) woke tasks that
        // run only after it: it waits for a turn in which no call asked for it again.
        if (after_turn_asked_again) return schedule_after_turn(self);
        if (auto run = std::exchange(after_turn, nullptr)) run();
    }

    bool renew_after_fork() {
        // A forked child: the parent's calls and descriptors are not this process's to wait for.
        // Its operations are dropped unread (their worker threads do not exist here).
        auto created_events = EventSet::create();
        if (!created_events.ok()) {
            raise_system_error(created_events.error());
            return false;
        }
        auto created = CompletionChannel::create();
        if (!created.ok()) {
            raise_system_error(created.error());
            return false;
        }
        if (auto watched = created_events.value().watch(created.value()->fd(), EPOLLIN, nullptr); !watched.ok()) {
            raise_system_error(watched.error());
            return false;
        }
        events.emplace(std::move(created_events).value());
        channel = std::move(created).value();
        generation = fork_generation();
        (void)loop.release();  // the parent's loop object; not this process's to touch
        in_flight = nullptr;
        finished.clear();
        after_turn = nullptr;
        after_turn_scheduled = false;
        return true;
    }

    // Makes `running` the loop watching the hub.
    bool watch(PyObject* self, PyObject* running) {
        if (!events || generation != fork_generation()) {
            if (!renew_after_fork()) return false;
        }
        if (loop.get() == running) return true;
        // Calls left behind by a loop that has been closed (asyncio.run cancels them on its way
        // out) finish under the new one; their futures are done and take no result.
        if (in_flight != nullptr && !loop_closed()) {
            PyErr_SetString(PyExc_RuntimeError,
                            "this client's calls are still running on another event loop; a client serves "
                            "one event loop at a time");
            return false;
        }
        unwatch();
        static PyObject* add_reader = interned("add_reader");
        static PyObject* drain_name = interned("_drain");
        PyRef callback = PyRef::steal(PyObject_GetAttr(self, drain_name));
        if (!callback) return false;
        PyRef fd = PyRef::steal(PyLong_FromLong(events->fd()));
        if (!fd) return false;
        PyObject* call_args[] = {running, fd.get(), callback.get()};
        PyRef added = PyRef::steal(
            PyObject_VectorcallMethod(add_reader, call_args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        if (!added) return false;
        loop = PyRef::borrow(running);
        if (!finished.empty()) schedule_drain(self);  // left by a loop that closed before their turn
        return true;
    }

    // Takes at most 16 calls a turn of the loop. Each ended call wakes a task that starts its next
    // call in the following turn, so a burst of answers taken at once would hold the loop's timers
    // back for the whole burst twice. Ready sockets left over keep the hub's descriptor readable;
    // finished calls taken from the channel wait in `finished` for a drain scheduled for the next
    // turn.
    void drain(PyObject* self) {
        if (!events || generation != fork_generation()) return;
        std::size_t budget = kCallsPerTurn;
        std::array<epoll_event, kCallsPerTurn> buffer;
        for (const epoll_event& event : events->ready(buffer)) {
            if (event.data.ptr == nullptr) {
                for (Job* job : channel->take()) {
                    auto* operation = static_cast<Operation*>(job);
                    operation->on_worker_ = false;
                    finished.push_back(operation);
                }
            } else {
                step(static_cast<Operation*>(event.data.ptr), [](Operation& op) { op.ready(); });
                --budget;
            }
        }
        for (; budget > 0 && !finished.empty(); --budget) {
            Operation* operation = finished.front();
            finished.pop_front();
            step(operation, [](Operation& op) { op.completed(); });
        }
        if (!finished.empty()) schedule_drain(self);
        if (closed && in_flight == nullptr) unwatch();
    }

    void schedule_drain(PyObject* self) {
        static PyObject* drain_name = interned("_drain");
        (void)call_soon(self, drain_name);  // if the loop is gone, the next one drains them (see watch)
    }
};

namespace {

using HubObject = CppObject<Hub>;

PyObject* hub_drain(PyObject* self, PyObject*) {
    return method_boundary([&]() -> PyObject* {
        Hub& hub = HubObject::from(self)->state();
        hub.drain(self);
        hub.schedule_after_turn(self);
        Py_RETURN_NONE;
    });
}

PyObject* hub_after_turn(PyObject* self, PyObject*) {
    return method_boundary([&]() -> PyObject* {
        HubObject::from(self)->state().run_after_turn(self);
        Py_RETURN_NONE;
    });
}

PyMethodDef hub_methods[] = {
    {"_drain", &hub_drain, METH_NOARGS, "Runs the steps of the calls whose sockets or threads are done."},
    {"_after_turn", &hub_after_turn, METH_NOARGS, "Runs what the calls ended in the last turn left for after it."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot hub_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&HubObject::dealloc)},
    {Py_tp_methods, hub_methods},
    {Py_tp_doc, const_cast<char*>("The calls in flight of one zorvo.aio client.")},
    {0, nullptr},
};

PyType_Spec hub_spec = {
    "zorvo.aio._Hub",
    static_cast<int>(sizeof(HubObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    hub_slots,
};

}  // namespace

void Operation::run() noexcept {
    work();
    channel_->post(*this);
}

void Operation::come_back() noexcept { channel_->post(*this); }

bool Operation::run_on_worker() {
    on_worker_ = true;
    if (workers().submit(*this)) return true;
    on_worker_ = false;
    PyErr_SetString(PyExc_RuntimeError, "no thread could be started to run the call");
    return false;
}

bool Operation::arm(int fd, std::uint32_t events) {
    if (auto armed = hub_->events->arm(fd, events, this); !armed.ok()) {
        raise_system_error(armed.error());
        return false;
    }
    return true;
}

void Operation::end(PyObject* value) {
    static PyObject* set_result = interned("set_result");
    static PyObject* set_exception = interned("set_exception");
    ended_ = true;
    PyRef outcome = value != nullptr ? PyRef::steal(value) : take_raised_exception();
    if (!outcome) {
        PyErr_SetString(PyExc_SystemError, "a zorvo.aio call ended without an outcome");
        outcome = take_raised_exception();
    }
    if (abandoned()) return;
    PyRef set = PyRef::steal(
        PyObject_CallMethodOneArg(future_.get(), value != nullptr ? set_result : set_exception, outcome.get()));
    if (!set) PyErr_WriteUnraisable(future_.get());
}

bool Operation::ask_after_this_turn() {
    hub_->after_turn_asked_again = true;
    return !hub_->after_turn;  // every request is the client's: one pending stands for the rest
}

void Operation::set_after_turn(std::function<void()> run) { hub_->after_turn = std::move(run); }

bool Operation::abandoned() const {
    static PyObject* done_name = interned("done");
    PyRef done = PyRef::steal(PyObject_CallMethodNoArgs(future_.get(), done_name));
    if (!done) {
        PyErr_Clear();
        return true;
    }
    return done.get() == Py_True;
}

PyObject* new_hub() {
    PyObject* type = type_object<hub_spec>();
    if (type == nullptr) return nullptr;
    return HubObject::create(reinterpret_cast<PyTypeObject*>(type));
}

PyObject* start(PyObject* self, std::unique_ptr<Operation> operation) {
    Hub& hub = HubObject::from(self)->state();
    PyRef loop = PyRef::steal(running_loop());
    if (!loop || !hub.watch(self, loop.get())) return nullptr;
    static PyObject* create_future = interned("create_future");
    PyRef future = PyRef::steal(PyObject_CallMethodNoArgs(loop.get(), create_future));
    if (!future) return nullptr;
    operation->future_ = PyRef::borrow(future.get());
    operation->channel_ = hub.channel;
    operation->hub_ = &hub;
    Operation* started = operation.release();
    hub.add(started);
    hub.step(started, [](Operation& op) { op.begin(); });
    hub.schedule_after_turn(self);
    return future.release();
}

void close_hub(PyObject* self) {
    Hub& hub = HubObject::from(self)->state();
    hub.closed = true;
    if (hub.in_flight == nullptr || hub.generation != fork_generation()) hub.unwatch();
}

PyRef take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyRef::steal(PyErr_GetRaisedException());
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return PyRef::steal(value);
#endif
}

void restore_exception(PyRef exception) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception.get()));
    PyErr_Restore(Py_NewRef(type), exception.get(), PyException_GetTraceback(exception.get()));
    exception.release();
#endif
}

}  // namespace zorvo::python::aio
