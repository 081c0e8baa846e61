#include "zorvo/common/worker_pool.hpp"

#include <system_error>
#include <thread>

namespace zorvo {

WorkerPool::~WorkerPool() {
    std::unique_lock lock(mutex_);
    stopping_ = true;
    work_ready_.notify_all();
    spawn_needed_.notify_all();
    thread_ended_.wait(lock, [&] { return threads_ == 0; });
}

bool WorkerPool::submit(Job& job) {
    std::lock_guard lock(mutex_);
    jobs_.push_back(&job);
    if (threads_ == 0) {
        if (!start_thread(&WorkerPool::work)) {
            jobs_.pop_back();
            return false;
        }
    } else if (jobs_.size() <= waiting_ + starting_) {
        if (waiting_ > 0) work_ready_.notify_one();
    } else if (!spawner_running_) {
        spawner_running_ = start_thread(&WorkerPool::spawn);
    } else {
        // Starting a thread costs tens of microseconds, which the submitter (an event loop) should
        // not pay: the spawner starts it.
        spawn_needed_.notify_one();
    }
    return true;
}

bool WorkerPool::start_thread(void (WorkerPool::*body)() noexcept) noexcept {
    try {
        std::thread(body, this).detach();
    } catch (const std::system_error&) {
        return false;  // out of threads: the ones there are take the jobs as they come free
    }
    ++threads_;
    return true;
}

void WorkerPool::spawn() noexcept {
    std::unique_lock lock(mutex_);
    for (;;) {
        // Each sleeping thread takes one queued job; start another while the queue outnumbers them.
        // A thread just started counts as a taker already: it takes a job as soon as it runs.
        while (!stopping_ && jobs_.size() > waiting_ + starting_ && threads_ < max_threads_ + 1) {
            if (!start_thread(&WorkerPool::work)) break;
            ++starting_;
        }
        if (stopping_) break;
        if (!spawn_needed_.wait_until(lock, idle_deadline(),
                                      [&] { return stopping_ || jobs_.size() > waiting_ + starting_; })) {
            break;
        }
    }
    spawner_running_ = false;
    --threads_;
    thread_ended_.notify_all();
}

// On the wall clock: a wait on it needs only the condition variable wait every glibc has had for
// long (a steady-clock wait needs one from glibc 2.30, newer than the wheels may ask for). A clock
// change only makes an idle thread end sooner or later.
std::chrono::system_clock::time_point WorkerPool::idle_deadline() const noexcept {
    return std::chrono::system_clock::now() + idle_exit_;
}

std::size_t WorkerPool::thread_count() const {
    std::lock_guard lock(mutex_);
    return threads_;
}

void WorkerPool::work() noexcept {
    std::unique_lock lock(mutex_);
    if (starting_ > 0) --starting_;
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
        const bool woken = work_ready_.wait_until(lock, idle_deadline(), [&] { return !jobs_.empty() || stopping_; });
        --waiting_;
        if (!woken) break;  // idle for long enough
    }
    --threads_;
    thread_ended_.notify_all();
}

}  // namespace zorvo
