#include "zorvo/common/worker_pool.hpp"

#include <system_error>
#include <thread>

namespace zorvo {

WorkerPool::~WorkerPool() {
    std::unique_lock lock(mutex_);
    stopping_ = true;
    work_ready_.notify_all();
    thread_ended_.wait(lock, [&] { return threads_ == 0; });
}

bool WorkerPool::submit(Job& job) {
    std::lock_guard lock(mutex_);
    jobs_.push_back(&job);
    // Each sleeping thread takes one queued job; start another when the queue outnumbers them.
    if (jobs_.size() > waiting_ && threads_ < max_threads_) {
        try {
            std::thread(&WorkerPool::work, this).detach();
            ++threads_;
        } catch (const std::system_error&) {
            // Out of threads: a busy one takes the job once it is free, if there is one.
            if (threads_ == 0) {
                jobs_.pop_back();
                return false;
            }
        }
    }
    if (waiting_ > 0) work_ready_.notify_one();
    return true;
}

std::size_t WorkerPool::thread_count() const {
    std::lock_guard lock(mutex_);
    return threads_;
}

void WorkerPool::work() noexcept {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (!jobs_.empty()) {
            Job* job = jobs_.front();
            jobs_.pop_front();
            lock.unlock();
            job->run();
            lock.lock();
            continue;
        }
        if (stopping_) break;
        ++waiting_;
        const bool woken = work_ready_.wait_for(lock, idle_exit_, [&] { return !jobs_.empty() || stopping_; });
        --waiting_;
        if (!woken) break;  // idle for long enough
    }
    --threads_;
    thread_ended_.notify_all();
}

}  // namespace zorvo
