#pragma once

#include <condition_variable>
#include <coroutine>
#include <mutex>
#include <type_traits>
#include <utility>

#include "zorvo/hybrid/task.hpp"

namespace zorvo::hybrid::detail {

// Parks one thread until another says the awaited coroutine is done (a futex underneath; no polling).
class BlockingSignal {
public:
    void notify() {
        std::lock_guard lock(mutex_);
        done_ = true;
        // Notified under the lock: the waiter cannot return (and destroy us) before we let go.
        ready_.notify_one();
    }
    void wait() {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return done_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    bool done_ = false;
};

template <class T>
class BlockingRoot;

// The outermost frame of a blocking drive: like a task's promise, but its end wakes the parked
// caller instead of resuming another coroutine. The frame stays suspended at its end so that the
// caller destroys it on its own thread.
template <class T>
struct BlockingPromise : TaskPromise<T> {
    BlockingSignal* signal = nullptr;

    struct NotifyAwaiter {
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<BlockingPromise> done) const noexcept {
            done.promise().signal->notify();
        }
        void await_resume() const noexcept {}
    };

    BlockingRoot<T> get_return_object() noexcept;
    NotifyAwaiter final_suspend() const noexcept { return {}; }
};

template <class T>
class [[nodiscard]] BlockingRoot {
public:
    using promise_type = BlockingPromise<T>;
    using Handle = std::coroutine_handle<promise_type>;

    explicit BlockingRoot(Handle handle) noexcept : handle_(handle) {}
    BlockingRoot(BlockingRoot&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    BlockingRoot(const BlockingRoot&) = delete;
    BlockingRoot& operator=(const BlockingRoot&) = delete;
    BlockingRoot& operator=(BlockingRoot&&) = delete;
    ~BlockingRoot() {
        if (handle_) handle_.destroy();
    }

    // Runs the operation on the calling thread until its first real wait, then sleeps until the
    // workers have finished it.
    T run_to_completion() {
        BlockingSignal signal;
        handle_.promise().signal = &signal;
        handle_.resume();
        signal.wait();
        return handle_.promise().take();
    }

private:
    Handle handle_;
};

template <class T>
BlockingRoot<T> BlockingPromise<T>::get_return_object() noexcept {
    return BlockingRoot<T>(std::coroutine_handle<BlockingPromise>::from_promise(*this));
}

template <class T>
BlockingRoot<T> drive_blocking(Task<T> task) {
    if constexpr (std::is_void_v<T>) {
        co_await std::move(task);
    } else {
        co_return co_await std::move(task);
    }
}

}  // namespace zorvo::hybrid::detail
