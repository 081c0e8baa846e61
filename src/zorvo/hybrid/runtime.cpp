#include "zorvo/hybrid/runtime.hpp"

#include <utility>

#include "zorvo/common/processors.hpp"

#include <pthread.h>

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <exception>
#include <system_error>

namespace zorvo::hybrid {

namespace {

thread_local bool current_thread_is_worker = false;

constexpr int MAX_EVENTS_PER_WAIT = 32;

Result<UniqueFd, SystemError> checked_fd(int fd) {
    if (fd < 0) return fail(SystemError::from_errno(errno));
    return UniqueFd(fd);
}

int watch_level_triggered(int epoll, int fd, void* tag) noexcept {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = tag;
    return epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event) == 0 ? 0 : errno;
}

}  // namespace

// The outermost frame of a spawned task. The runtime keeps its address until it ends, so that
// shutdown can destroy whatever is still waiting.
struct Runtime::SpawnedRoot {
    struct promise_type {
        Runtime& runtime;

        promise_type(Task<void>&, Runtime& owner) noexcept : runtime(owner) {}
        ~promise_type() {
            runtime.forget_spawned(std::coroutine_handle<promise_type>::from_promise(*this).address());
        }

        SpawnedRoot get_return_object() noexcept {
            return {std::coroutine_handle<promise_type>::from_promise(*this)};
        }
        std::suspend_always initial_suspend() const noexcept { return {}; }
        std::suspend_never final_suspend() const noexcept { return {}; }
        void return_void() const noexcept {}
        // Nobody awaits a spawned task, so nothing could report its failure.
        void unhandled_exception() const noexcept { std::terminate(); }
    };

    std::coroutine_handle<promise_type> handle;
};

Runtime::SpawnedRoot Runtime::run_spawned(Task<void> task, Runtime&) { co_await std::move(task); }

bool ReadinessAwaiter::await_suspend(std::coroutine_handle<> waiting) noexcept {
    // Everything the registration needs is read before the hand-over is published: from then on
    // a worker may resume the coroutine and destroy this awaiter at any moment.
    Runtime& runtime = runtime_;
    const int fd = fd_;
    const std::uint32_t events = events_;
    waiting_ = waiting;
    published_.store(true, std::memory_order_release);
    const int error = runtime.watch(fd, events, this);
    if (error == 0) return true;
    error_ = error;
    return false;
}

void SleepAwaiter::await_suspend(std::coroutine_handle<> waiting) { runtime_.add_timer(deadline_, waiting); }

std::size_t Runtime::default_worker_count() noexcept { return available_processors(); }

bool Runtime::on_worker_thread() noexcept { return current_thread_is_worker; }

Result<std::unique_ptr<Runtime>, SystemError> Runtime::create(std::size_t worker_count) {
    auto epoll = checked_fd(epoll_create1(EPOLL_CLOEXEC));
    if (!epoll) return fail(std::move(epoll).error());
    auto wake = checked_fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!wake) return fail(std::move(wake).error());
    auto stop = checked_fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!stop) return fail(std::move(stop).error());
    auto timer = checked_fd(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    if (!timer) return fail(std::move(timer).error());

    auto runtime = std::make_unique<Runtime>(ConstructionKey{}, std::move(epoll).value(), std::move(wake).value(),
                                             std::move(stop).value(), std::move(timer).value());
    if (int error = watch_level_triggered(runtime->epoll_.get(), runtime->wake_.get(), &runtime->wake_)) {
        return fail(SystemError::from_errno(error));
    }
    if (int error = watch_level_triggered(runtime->epoll_.get(), runtime->stop_.get(), &runtime->stop_)) {
        return fail(SystemError::from_errno(error));
    }
    if (int error = watch_level_triggered(runtime->epoll_.get(), runtime->timer_.get(), &runtime->timer_)) {
        return fail(SystemError::from_errno(error));
    }
    auto started = runtime->start_workers(worker_count == 0 ? 1 : worker_count);
    if (!started) return fail(std::move(started).error());
    return runtime;
}

Runtime::Runtime(ConstructionKey, UniqueFd epoll, UniqueFd wake, UniqueFd stop, UniqueFd timer)
    : epoll_(std::move(epoll)), wake_(std::move(wake)), stop_(std::move(stop)), timer_(std::move(timer)) {}

Runtime::~Runtime() {
    stop_workers();
    {
        std::lock_guard lock(ready_mutex_);
        accepting_ = false;
        ready_.clear();
    }
    std::unordered_set<void*> pending;
    {
        std::lock_guard lock(spawned_mutex_);
        pending.swap(spawned_);
    }
    // No worker runs any more, so destroying the suspended frames cannot race with a resumption.
    for (void* frame : pending) std::coroutine_handle<>::from_address(frame).destroy();
}

Result<Unit, SystemError> Runtime::start_workers(std::size_t count) {
    workers_.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        try {
            workers_.emplace_back([this] { worker_loop(); });
            // Named before the constructor returns, so that a process listing (or a test counting
            // threads) can tell the workers apart from the moment they exist.
            pthread_setname_np(workers_.back().native_handle(), "zorvo-runtime");
        } catch (const std::system_error& error) {
            return fail(SystemError::from_errno(error.code().value()));
        }
    }
    return Unit{};
}

void Runtime::stop_workers() noexcept {
    stopping_.store(true, std::memory_order_release);
    // Not the wake-up counter: a worker draining that one for ordinary work could swallow the
    // signal and leave another worker asleep for good. Nobody reads this one, so every later
    // epoll_wait returns at once and the worker sees the flag on its next turn.
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t written = write(stop_.get(), &one, sizeof one);
    for (std::thread& worker : workers_) {
        if (worker.joinable()) worker.join();
    }
}

void Runtime::worker_loop() {
    current_thread_is_worker = true;
    std::array<epoll_event, MAX_EVENTS_PER_WAIT> events{};
    while (!stopping_.load(std::memory_order_acquire)) {
        // Queued work first: a worker only sleeps in epoll once the queue was seen empty, and every
        // push is followed by a wake-up, so no scheduled coroutine is left behind.
        if (std::coroutine_handle<> ready = pop_ready()) {
            ready.resume();
            continue;
        }
        const int count = epoll_wait(epoll_.get(), events.data(), MAX_EVENTS_PER_WAIT, -1);
        for (int i = 0; i < count; ++i) dispatch(events[i].data.ptr);
    }
}

std::coroutine_handle<> Runtime::pop_ready() {
    std::lock_guard lock(ready_mutex_);
    if (ready_.empty()) return {};
    std::coroutine_handle<> next = ready_.front();
    ready_.pop_front();
    return next;
}

void Runtime::dispatch(void* tag) {
    if (tag == &wake_) {
        std::uint64_t count = 0;
        [[maybe_unused]] ssize_t drained = read(wake_.get(), &count, sizeof count);
        return;
    }
    // Left set on purpose; the loop checks the flag after this wait.
    if (tag == &stop_) return;
    if (tag == &timer_) {
        fire_expired_timers();
        return;
    }
    // A one-shot registration: exactly one worker receives it.
    std::coroutine_handle<> waiting = static_cast<ReadinessAwaiter*>(tag)->handle();
    waiting.resume();
}

void Runtime::wake_workers() noexcept {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t written = write(wake_.get(), &one, sizeof one);
}

void Runtime::schedule(std::coroutine_handle<> handle) {
    {
        std::lock_guard lock(ready_mutex_);
        if (!accepting_) return;
        ready_.push_back(handle);
    }
    wake_workers();
}

Runtime::SpawnedRoot Runtime::adopt(Task<void> task) {
    SpawnedRoot root = run_spawned(std::move(task), *this);
    std::lock_guard lock(spawned_mutex_);
    spawned_.insert(root.handle.address());
    return root;
}

void Runtime::spawn(Task<void> task) { schedule(adopt(std::move(task)).handle); }

void Runtime::spawn_here(Task<void> task) {
    SpawnedRoot root = adopt(std::move(task));
    // The caller must not block either: until the task first waits, this thread counts as a
    // worker (no inline waits in the receive).
    const bool was_worker = std::exchange(current_thread_is_worker, true);
    root.handle.resume();
    current_thread_is_worker = was_worker;
}

void Runtime::forget_spawned(void* frame) {
    std::lock_guard lock(spawned_mutex_);
    spawned_.erase(frame);
}

std::size_t Runtime::pending_spawned() const {
    std::lock_guard lock(spawned_mutex_);
    return spawned_.size();
}

ReadinessAwaiter Runtime::readable(int fd) noexcept { return ReadinessAwaiter(*this, fd, EPOLLIN); }

ReadinessAwaiter Runtime::writable(int fd) noexcept { return ReadinessAwaiter(*this, fd, EPOLLOUT); }

SleepAwaiter Runtime::sleep_for(std::chrono::nanoseconds delay) noexcept {
    return SleepAwaiter(*this, std::chrono::steady_clock::now() + delay);
}

int Runtime::watch(int fd, std::uint32_t events, ReadinessAwaiter* waiter) noexcept {
    epoll_event event{};
    event.events = events | EPOLLONESHOT;
    event.data.ptr = waiter;
    // A descriptor stays registered (disarmed) after its one-shot event, so re-arming is the usual case.
    if (epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, fd, &event) == 0) return 0;
    if (errno == ENOENT && epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) == 0) return 0;
    return errno;
}

void Runtime::add_timer(std::chrono::steady_clock::time_point deadline, std::coroutine_handle<> handle) {
    std::lock_guard lock(timer_mutex_);
    const std::uint64_t sequence = timer_sequence_++;
    timers_.push(TimerEntry{deadline, sequence, handle});
    if (timers_.top().sequence == sequence) arm_timer_locked();
}

void Runtime::arm_timer_locked() noexcept {
    itimerspec setting{};
    if (!timers_.empty()) {
        using namespace std::chrono;
        // An all-zero value would disarm the timer, so the earliest expiry is 1 ns after the epoch.
        const auto since_epoch =
            std::max(nanoseconds(1), duration_cast<nanoseconds>(timers_.top().deadline.time_since_epoch()));
        setting.it_value.tv_sec = static_cast<time_t>(since_epoch.count() / 1'000'000'000);
        setting.it_value.tv_nsec = static_cast<long>(since_epoch.count() % 1'000'000'000);
    }
    timerfd_settime(timer_.get(), TFD_TIMER_ABSTIME, &setting, nullptr);
}

void Runtime::fire_expired_timers() {
    std::uint64_t expirations = 0;
    [[maybe_unused]] ssize_t drained = read(timer_.get(), &expirations, sizeof expirations);
    std::vector<std::coroutine_handle<>> due;
    {
        std::lock_guard lock(timer_mutex_);
        const auto now = std::chrono::steady_clock::now();
        while (!timers_.empty() && timers_.top().deadline <= now) {
            due.push_back(timers_.top().handle);
            timers_.pop();
        }
        arm_timer_locked();
    }
    for (std::coroutine_handle<> handle : due) schedule(handle);
}

}  // namespace zorvo::hybrid
