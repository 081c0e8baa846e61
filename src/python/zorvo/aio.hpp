#pragma once

#include "py_ref.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "zorvo/common/completion_channel.hpp"
#include "zorvo/common/worker_pool.hpp"

// The machinery of zorvo.aio. Each client has a hub: one descriptor (an epoll set) that its event
// loop watches, holding the client's sockets in flight and a completion channel. A call is an
// Operation the hub owns while it is in flight: its steps run on the loop thread when a socket is
// ready, or on a worker thread that never touches a Python object and then posts the operation
// back through the channel. The loop thread resolves the call's future when the operation ends.
namespace zorvo::python::aio {

struct Hub;

class Operation : public Job {
public:
    ~Operation() override = default;

    // On the loop thread, once the call's future exists: the first step.
    virtual void begin() = 0;
    // On the loop thread: the descriptor armed last is ready.
    virtual void ready() {}
    // On the loop thread: the work started last has finished on its worker thread.
    virtual void completed() {}

protected:
    // On a worker thread, for run_on_worker(); may touch only C++ state.
    virtual void work() noexcept {}

    // Starts work() on a worker thread; completed() follows on the loop thread. False with a
    // Python error set when no thread could be started.
    bool run_on_worker();
    // ready() follows once `fd` is ready for `events`; false with a Python error set.
    bool arm(int fd, std::uint32_t events);
    // The operation is handed to another thread, which calls come_back() when it is done with
    // it; completed() then follows on the loop thread.
    void go_away() noexcept { on_worker_ = true; }
    void come_back() noexcept;
    // Ends the call with `value` (a new reference), or with the raised exception when it is
    // nullptr. A future that is already done (cancelled) is left as it is.
    void end(PyObject* value);
    // Nobody waits for the outcome any more (the future was cancelled).
    bool abandoned() const;
    // Asks for the client's after-turn work, which follows on the loop thread once the callbacks
    // this turn of the event loop scheduled have run (the tasks woken by the calls that just ended
    // have started their next calls), and no call has asked for it since it was scheduled. True
    // when none is pending: the caller then gives it with set_after_turn().
    bool ask_after_this_turn();
    void set_after_turn(std::function<void()> run);

private:
    friend struct Hub;
    friend PyObject* start(PyObject* hub, std::unique_ptr<Operation> operation);
    void run() noexcept final;

    Hub* hub_ = nullptr;
    Operation* previous_ = nullptr;  // in the hub's list of calls in flight
    Operation* next_ = nullptr;
    PyRef future_;
    std::shared_ptr<CompletionChannel> channel_;
    bool on_worker_ = false;
    bool ended_ = false;
};

// A client's hub; a new reference, or nullptr with a Python error set.
PyObject* new_hub();

// Starts `operation` for the running event loop and returns its future (a new reference), or
// nullptr with a Python error set (no running loop; the client's calls still running on another
// loop).
PyObject* start(PyObject* hub, std::unique_ptr<Operation> operation);

// Stops watching once no call is in flight (at once if none is).
void close_hub(PyObject* hub);

// The arguments of a call that has not started yet: strong references to the positional values,
// then the keyword values named by `kwnames`. Held in plain memory rather than a tuple, so that a
// call adds no object for the cyclic garbage collector to track (its pauses stall the event loop).
class CallArguments {
public:
    CallArguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
    CallArguments(CallArguments&& other) noexcept = default;
    CallArguments& operator=(CallArguments&& other) noexcept;
    ~CallArguments() { release(); }

    PyObject* const* values() const noexcept { return values_.data(); }
    Py_ssize_t nargs() const noexcept { return nargs_; }
    PyObject* kwnames() const noexcept { return kwnames_.get(); }

private:
    void release() noexcept;

    std::vector<PyObject*> values_;
    Py_ssize_t nargs_ = 0;
    PyRef kwnames_;
};

// What a lazily started call does when first awaited: returns a future to wait for
// (`is_future` true) or the call's value itself; nullptr with a Python error set. It may keep
// `arguments` (moving them out) for as long as the objects they point into must live.
using StartFunction = PyObject* (*)(PyObject* owner, CallArguments& arguments, bool& is_future);

// A coroutine object that runs `start` with these arguments when first awaited (or sent to), then
// waits for the future it returned, as an `async def` method would.
PyObject* new_coroutine(PyObject* owner, StartFunction start, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);

// The raised exception as an object, the error indicator cleared; and raising it again.
PyRef take_raised_exception();
void restore_exception(PyRef exception);

// Registers the coroutine type with collections.abc.Coroutine, so asyncio.create_task accepts it.
bool register_coroutine_type();

// Adds module `zorvo.aio` to `zorvo` and to sys.modules; false with a Python error set.
bool add_submodule(PyObject* zorvo_module);

}  // namespace zorvo::python::aio
