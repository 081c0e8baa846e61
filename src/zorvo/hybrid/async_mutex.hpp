#pragma once

#include <coroutine>
#include <cstddef>
#include <mutex>
#include <utility>

namespace zorvo::hybrid {

class Runtime;

// A mutual-exclusion lock for coroutines that hands itself to waiters in arrival order: a release
// with waiters passes ownership straight to the oldest one, so nobody can barge in between.
class FifoLock {
public:
    // Releases the lock when it goes away.
    class Guard {
    public:
        Guard() noexcept = default;
        explicit Guard(FifoLock& lock) noexcept : lock_(&lock) {}
        Guard(Guard&& other) noexcept : lock_(std::exchange(other.lock_, nullptr)) {}
        Guard& operator=(Guard&& other) noexcept;
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
        ~Guard() { unlock(); }

        void unlock() noexcept;

    private:
        FifoLock* lock_ = nullptr;
    };

    // Awaiting it yields a Guard. A waiter that is destroyed while queued leaves the queue, and one
    // destroyed after the hand-over but before it ran passes the lock on.
    class Acquire {
    public:
        Acquire(FifoLock& lock, Runtime& runtime) noexcept : lock_(lock), runtime_(runtime) {}
        Acquire(const Acquire&) = delete;
        Acquire& operator=(const Acquire&) = delete;
        ~Acquire();

        bool await_ready() const noexcept { return false; }
        bool await_suspend(std::coroutine_handle<> waiting);
        Guard await_resume() noexcept;

    private:
        friend class FifoLock;
        enum class State { Idle, Queued, Granted, Resumed };

        FifoLock& lock_;
        Runtime& runtime_;
        std::coroutine_handle<> waiting_;
        Acquire* next_ = nullptr;
        State state_ = State::Idle;
    };

    FifoLock() = default;
    FifoLock(const FifoLock&) = delete;
    FifoLock& operator=(const FifoLock&) = delete;

    // Waiting coroutines are resumed on `runtime` once the lock is theirs.
    Acquire acquire(Runtime& runtime) noexcept { return Acquire(*this, runtime); }

    bool locked() const;
    std::size_t waiting() const;

private:
    void release();
    void unlink(Acquire& waiter) noexcept;

    mutable std::mutex mutex_;
    bool locked_ = false;
    Acquire* head_ = nullptr;
    Acquire* tail_ = nullptr;
    std::size_t waiting_ = 0;
};

// A value that only the holder of its first-come, first-served lock may touch.
template <class T>
class AsyncMutex {
public:
    class Guard {
    public:
        Guard(T& value, FifoLock::Guard held) noexcept : value_(&value), held_(std::move(held)) {}
        T& operator*() const noexcept { return *value_; }
        T* operator->() const noexcept { return value_; }

    private:
        T* value_;
        FifoLock::Guard held_;
    };

    class Acquire : public FifoLock::Acquire {
    public:
        Acquire(AsyncMutex& owner, Runtime& runtime) noexcept
            : FifoLock::Acquire(owner.lock_, runtime), owner_(owner) {}
        Guard await_resume() noexcept { return Guard(owner_.value_, FifoLock::Acquire::await_resume()); }

    private:
        AsyncMutex& owner_;
    };

    template <class... Args>
    explicit AsyncMutex(Args&&... args) : value_(std::forward<Args>(args)...) {}

    Acquire lock(Runtime& runtime) noexcept { return Acquire(*this, runtime); }
    const FifoLock& fifo() const noexcept { return lock_; }
    // The value without the lock, for an owner that knows nobody holds or awaits it any more.
    T& unguarded() noexcept { return value_; }

private:
    FifoLock lock_;
    T value_;
};

}  // namespace zorvo::hybrid
