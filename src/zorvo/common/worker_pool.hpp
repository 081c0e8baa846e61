#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>

namespace zorvo {

// A piece of blocking work handed to a WorkerPool. It owns whatever it works on; the pool only
// runs it, once, on one of its threads.
class Job {
public:
    virtual ~Job() = default;
    virtual void run() noexcept = 0;
};

// Threads that run blocking jobs, one job per thread at a time, so that every job handed in
// starts about at once: while jobs outnumber idle threads, a spawner thread starts more (up to
// `max_threads`; beyond that, jobs wait for a thread to come free). Only the first thread and the
// spawner are started by a submitter. A thread with nothing to do for `idle_exit` ends,
// so the pool shrinks back after a burst.
class WorkerPool {
public:
    explicit WorkerPool(std::size_t max_threads = 1024,
                        std::chrono::milliseconds idle_exit = std::chrono::seconds(5)) noexcept
        : max_threads_(max_threads), idle_exit_(idle_exit) {}
    // Waits for every thread to finish its job and end: destroy a pool only once its jobs can end.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Queues `job` (the pool does not take ownership). False, with nothing queued, when no thread
    // exists and none could be started.
    bool submit(Job& job);

    std::size_t thread_count() const;

private:
    void work() noexcept;
    void spawn() noexcept;
    std::chrono::system_clock::time_point idle_deadline() const noexcept;
    bool start_thread(void (WorkerPool::*body)() noexcept) noexcept;  // with the mutex held

    const std::size_t max_threads_;
    const std::chrono::milliseconds idle_exit_;
    mutable std::mutex mutex_;
    std::condition_variable work_ready_;
    std::condition_variable thread_ended_;
    std::condition_variable spawn_needed_;
    std::deque<Job*> jobs_;
    std::size_t threads_ = 0;
    std::size_t waiting_ = 0;  // threads asleep for want of a job
    bool stopping_ = false;
    bool spawner_running_ = false;
    std::size_t starting_ = 0;  // threads the spawner started that have not run yet
};

}  // namespace zorvo
