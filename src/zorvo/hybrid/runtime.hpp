#pragma once

#include <atomic>
#include <chrono>
#include <coroutine>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <queue>
#include <thread>
#include <unordered_set>
#include <vector>

#include "zorvo/common/result.hpp"
#include "zorvo/common/system_error.hpp"
#include "zorvo/hybrid/blocking.hpp"
#include "zorvo/hybrid/task.hpp"
#include "zorvo/common/unique_fd.hpp"

namespace zorvo::hybrid {

class Runtime;

// Suspends a coroutine until a descriptor is readable or writable. Resumes with 0, or with the
// errno of a failed registration (the coroutine is then resumed at once on its own thread).
class ReadinessAwaiter {
public:
    ReadinessAwaiter(Runtime& runtime, int fd, std::uint32_t events) noexcept
        : runtime_(runtime), fd_(fd), events_(events) {}

    bool await_ready() const noexcept { return false; }
    bool await_suspend(std::coroutine_handle<> waiting) noexcept;
    int await_resume() const noexcept { return error_; }

    // The coroutine to resume once the event has arrived. The kernel already orders the
    // registration before the event; the flag makes that ordering visible to the language too.
    std::coroutine_handle<> handle() const noexcept {
        return published_.load(std::memory_order_acquire) ? waiting_ : std::noop_coroutine();
    }

private:
    Runtime& runtime_;
    int fd_;
    std::uint32_t events_;
    std::coroutine_handle<> waiting_;
    std::atomic<bool> published_{false};
    int error_ = 0;
};

// Suspends a coroutine until a monotonic deadline has passed.
class SleepAwaiter {
public:
    SleepAwaiter(Runtime& runtime, std::chrono::steady_clock::time_point deadline) noexcept
        : runtime_(runtime), deadline_(deadline) {}

    bool await_ready() const noexcept { return deadline_ <= std::chrono::steady_clock::now(); }
    void await_suspend(std::coroutine_handle<> waiting);
    void await_resume() const noexcept {}

private:
    Runtime& runtime_;
    std::chrono::steady_clock::time_point deadline_;
};

// A multi-threaded event loop: by default one worker per processor available to the process
// (affinity mask and cgroup CPU quota, read at creation), an epoll readiness driver and a timer
// driver. Coroutines that wait for a descriptor or a deadline are resumed on whichever worker sees
// the event. Destruction stops and joins the workers and destroys every spawned task still pending.
class Runtime {
public:
    static std::size_t default_worker_count() noexcept;
    static Result<std::unique_ptr<Runtime>, SystemError> create(
        std::size_t worker_count = default_worker_count());

    // Only `create` can make one: the workers capture its address, so it never moves.
    class ConstructionKey {
        friend class Runtime;
        explicit ConstructionKey() = default;
    };
    Runtime(ConstructionKey, UniqueFd epoll, UniqueFd wake, UniqueFd stop, UniqueFd timer);

    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;
    ~Runtime();

    std::size_t worker_count() const noexcept { return workers_.size(); }
    // True on a worker thread of any runtime; such threads must never block on a runtime.
    static bool on_worker_thread() noexcept;

    // Resumes `handle` on a worker. After shutdown the handle is dropped (its owner destroys it).
    void schedule(std::coroutine_handle<> handle);

    // Runs `task` on the workers without anyone waiting for it; the runtime owns it until it ends.
    void spawn(Task<void> task);
    // The same, but the task starts on the calling thread and goes on on a worker once it has to
    // wait: a caller that only starts work saves the hand-over to a worker. Like a worker, the
    // calling thread never blocks inside the task.
    void spawn_here(Task<void> task);

    // Drives `task` to completion: it starts on the calling thread, and once it has to wait the
    // caller sleeps until a worker has finished it. Never call this from a worker thread.
    template <class T>
    T block_on(Task<T> task) {
        return detail::drive_blocking(std::move(task)).run_to_completion();
    }

    ReadinessAwaiter readable(int fd) noexcept;
    ReadinessAwaiter writable(int fd) noexcept;
    SleepAwaiter sleep_for(std::chrono::nanoseconds delay) noexcept;

    std::size_t pending_spawned() const;

private:
    friend class ReadinessAwaiter;
    friend class SleepAwaiter;
    struct SpawnedRoot;

    struct TimerEntry {
        std::chrono::steady_clock::time_point deadline;
        std::uint64_t sequence;
        std::coroutine_handle<> handle;
        bool operator>(const TimerEntry& other) const noexcept {
            return deadline != other.deadline ? deadline > other.deadline : sequence > other.sequence;
        }
    };

    Result<Unit, SystemError> start_workers(std::size_t count);
    void stop_workers() noexcept;
    void worker_loop();
    std::coroutine_handle<> pop_ready();
    void dispatch(void* tag);
    void wake_workers() noexcept;
    void fire_expired_timers();
    void arm_timer_locked() noexcept;
    int watch(int fd, std::uint32_t events, ReadinessAwaiter* waiter) noexcept;
    void add_timer(std::chrono::steady_clock::time_point deadline, std::coroutine_handle<> handle);
    void forget_spawned(void* frame);
    static SpawnedRoot run_spawned(Task<void> task, Runtime& runtime);
    // The task's outermost frame, owned by the runtime until it ends; not started yet.
    SpawnedRoot adopt(Task<void> task);

    UniqueFd epoll_;
    // Wakes one sleeping worker for queued work; drained by whichever worker receives it.
    UniqueFd wake_;
    // Set once at shutdown and never read, so it stays readable and no worker can sleep past it.
    UniqueFd stop_;
    UniqueFd timer_;

    std::mutex ready_mutex_;
    std::deque<std::coroutine_handle<>> ready_;
    bool accepting_ = true;
    std::atomic<bool> stopping_{false};

    std::mutex timer_mutex_;
    std::priority_queue<TimerEntry, std::vector<TimerEntry>, std::greater<>> timers_;
    std::uint64_t timer_sequence_ = 0;

    mutable std::mutex spawned_mutex_;
    std::unordered_set<void*> spawned_;

    std::vector<std::thread> workers_;
};

}  // namespace zorvo::hybrid
