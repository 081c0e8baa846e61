#include "zorvo/hybrid/async_mutex.hpp"

#include "zorvo/hybrid/runtime.hpp"

namespace zorvo::hybrid {

FifoLock::Guard& FifoLock::Guard::operator=(Guard&& other) noexcept {
    if (this != &other) {
        unlock();
        lock_ = std::exchange(other.lock_, nullptr);
    }
    return *this;
}

void FifoLock::Guard::unlock() noexcept {
    if (FifoLock* lock = std::exchange(lock_, nullptr)) lock->release();
}

FifoLock::Acquire::~Acquire() {
    std::unique_lock lock(lock_.mutex_);
    if (state_ == State::Queued) {
        lock_.unlink(*this);
    } else if (state_ == State::Granted) {
        // The lock was handed to a coroutine that will never run (its runtime shut down).
        lock.unlock();
        lock_.release();
    }
}

bool FifoLock::Acquire::await_suspend(std::coroutine_handle<> waiting) {
    std::lock_guard lock(lock_.mutex_);
    if (!lock_.locked_) {
        lock_.locked_ = true;
        state_ = State::Resumed;
        return false;
    }
    waiting_ = waiting;
    state_ = State::Queued;
    if (lock_.tail_ != nullptr) {
        lock_.tail_->next_ = this;
    } else {
        lock_.head_ = this;
    }
    lock_.tail_ = this;
    ++lock_.waiting_;
    return true;
}

FifoLock::Guard FifoLock::Acquire::await_resume() noexcept {
    state_ = State::Resumed;
    return Guard(lock_);
}

void FifoLock::release() {
    Runtime* runtime = nullptr;
    std::coroutine_handle<> waiting;
    {
        std::lock_guard lock(mutex_);
        Acquire* next = head_;
        if (next == nullptr) {
            locked_ = false;
            return;
        }
        unlink(*next);
        next->state_ = Acquire::State::Granted;
        runtime = &next->runtime_;
        waiting = next->waiting_;
    }
    // Ownership has passed on; the lock stays taken until the new holder releases it.
    runtime->schedule(waiting);
}

void FifoLock::unlink(Acquire& waiter) noexcept {
    Acquire* previous = nullptr;
    for (Acquire* current = head_; current != nullptr; previous = current, current = current->next_) {
        if (current != &waiter) continue;
        if (previous != nullptr) {
            previous->next_ = current->next_;
        } else {
            head_ = current->next_;
        }
        if (tail_ == current) tail_ = previous;
        current->next_ = nullptr;
        --waiting_;
        return;
    }
}

bool FifoLock::locked() const {
    std::lock_guard lock(mutex_);
    return locked_;
}

std::size_t FifoLock::waiting() const {
    std::lock_guard lock(mutex_);
    return waiting_;
}

}  // namespace zorvo::hybrid
