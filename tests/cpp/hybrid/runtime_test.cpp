#include "zorvo/hybrid/runtime.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "zorvo/hybrid/async_mutex.hpp"
#include "zorvo/hybrid/unix_stream.hpp"

namespace zorvo::hybrid {
namespace {

using namespace std::chrono_literals;

// Worker threads of any runtime in this process. Counting by name leaves out helper threads that
// a sanitizer starts lazily, whichever test happens to run first.
std::size_t thread_count() {
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(entry.path() / "comm");
        std::string name;
        count += std::getline(comm, name) && name == "zorvo-runtime";
    }
    return count;
}

// The count once it is back at `expected`, or after a second: a joined thread wakes its joiner
// as it exits and can stay listed for a moment until the kernel has reaped it.
std::size_t thread_count_settling_at(std::size_t expected) {
    const auto deadline = std::chrono::steady_clock::now() + 1s;
    std::size_t count = thread_count();
    while (count != expected && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
        count = thread_count();
    }
    return count;
}

std::unique_ptr<Runtime> make_runtime(std::size_t workers = Runtime::default_worker_count()) {
    auto created = Runtime::create(workers);
    EXPECT_TRUE(created.ok());
    return std::move(created).value();
}

Task<int> answer_after(Runtime& runtime, std::chrono::milliseconds delay, int value) {
    co_await runtime.sleep_for(delay);
    co_return value;
}

Task<bool> resumed_on_worker(Runtime& runtime) {
    co_await runtime.sleep_for(2ms);
    co_return Runtime::on_worker_thread();
}

Task<int> nested(Runtime& runtime) {
    const int first = co_await answer_after(runtime, 0ms, 20);
    const int second = co_await answer_after(runtime, 1ms, 22);
    co_return first + second;
}

Task<int> throws_after_wait(Runtime& runtime) {
    co_await runtime.sleep_for(1ms);
    throw std::runtime_error("raised on a worker");
}

TEST(RuntimeTest, StartsOneWorkerPerProcessorAtLeastOne) {
    EXPECT_GE(Runtime::default_worker_count(), 1u);
    const std::size_t before = thread_count_settling_at(0);
    auto runtime = make_runtime();
    EXPECT_EQ(runtime->worker_count(), Runtime::default_worker_count());
    EXPECT_EQ(thread_count(), before + runtime->worker_count());
    EXPECT_EQ(make_runtime(0)->worker_count(), 1u);
}

TEST(RuntimeTest, BlockOnReturnsValuesFinishedByWorkers) {
    auto runtime = make_runtime();
    EXPECT_EQ(runtime->block_on(answer_after(*runtime, 0ms, 7)), 7);
    EXPECT_EQ(runtime->block_on(nested(*runtime)), 42);
    EXPECT_TRUE(runtime->block_on(resumed_on_worker(*runtime)));
    EXPECT_FALSE(Runtime::on_worker_thread());
}

TEST(RuntimeTest, ExceptionsReachTheBlockedCaller) {
    auto runtime = make_runtime();
    EXPECT_THROW(runtime->block_on(throws_after_wait(*runtime)), std::runtime_error);
    // The runtime stays usable afterwards.
    EXPECT_EQ(runtime->block_on(answer_after(*runtime, 1ms, 3)), 3);
}

TEST(RuntimeTest, TimersFireInDeadlineOrderNotStartOrder) {
    auto runtime = make_runtime();
    std::mutex mutex;
    std::vector<int> order;
    std::atomic<int> done{0};
    auto record = [&](int delay_ms) -> Task<void> {
        co_await runtime->sleep_for(std::chrono::milliseconds(delay_ms));
        std::lock_guard lock(mutex);
        order.push_back(delay_ms);
        ++done;
    };
    for (int delay : {60, 20, 40}) runtime->spawn(record(delay));
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (done.load() < 3 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    std::lock_guard lock(mutex);
    EXPECT_EQ(order, (std::vector<int>{20, 40, 60}));
}

// An echo peer on the other end of a socket pair; it answers late every `slow_every` messages so
// that some reads are finished by the workers rather than by the caller's brief own wait.
class EchoPeer {
public:
    EchoPeer(int fd, int messages, int slow_every) : thread_([=] {
        std::array<char, 8> buffer{};
        for (int i = 0; i < messages; ++i) {
            std::size_t got = 0;
            while (got < buffer.size()) {
                const ssize_t n = read(fd, buffer.data() + got, buffer.size() - got);
                if (n <= 0) return;
                got += static_cast<std::size_t>(n);
            }
            if (slow_every > 0 && i % slow_every == 0) std::this_thread::sleep_for(5ms);
            if (write(fd, buffer.data(), buffer.size()) != 8) return;
        }
    }) {}
    ~EchoPeer() { thread_.join(); }

private:
    std::thread thread_;
};

Task<std::uint64_t> round_trip(Runtime& runtime, UnixStream& stream, std::uint64_t value) {
    std::array<std::uint8_t, 8> out{};
    std::memcpy(out.data(), &value, 8);
    auto written = co_await stream.write_all(runtime, out);
    if (!written.ok()) co_return 0;
    std::array<std::uint8_t, 8> in{};
    auto read = co_await stream.read_exact(runtime, in);
    if (!read.ok()) co_return 0;
    std::uint64_t echoed = 0;
    std::memcpy(&echoed, in.data(), 8);
    co_return echoed;
}

TEST(RuntimeTest, ManySequentialOperationsOnOneRuntime) {
    const auto path = std::filesystem::temp_directory_path() /
                      ("zorvo_rt_" + std::to_string(getpid()) + ".sock");
    std::filesystem::remove(path);
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    auto address = UnixAddress::from_path(path.string());
    ASSERT_TRUE(address.ok());
    ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&address->address), address->length), 0);
    ASSERT_EQ(listen(listener, 1), 0);

    constexpr int kMessages = 3000;
    std::unique_ptr<EchoPeer> peer;
    std::thread acceptor([&] {
        const int accepted = accept(listener, nullptr, nullptr);
        peer = std::make_unique<EchoPeer>(accepted, kMessages, 500);
    });
    auto runtime = make_runtime();
    auto connected = runtime->block_on(UnixStream::connect(*runtime, path.string()));
    ASSERT_TRUE(connected.ok()) << connected.error().display();
    acceptor.join();
    UnixStream stream = std::move(connected).value();
    for (int i = 1; i <= kMessages; ++i) {
        const auto value = static_cast<std::uint64_t>(i) * 0x0101010101ULL;
        ASSERT_EQ(runtime->block_on(round_trip(*runtime, stream, value)), value) << "message " << i;
    }
    peer.reset();
    close(listener);
    std::filesystem::remove(path);
}

TEST(RuntimeTest, LockHandsOverInArrivalOrder) {
    auto runtime = make_runtime();
    AsyncMutex<std::vector<int>> shared;
    auto take = [&]() -> Task<AsyncMutex<std::vector<int>>::Guard> { co_return co_await shared.lock(*runtime); };
    auto holder = std::make_unique<AsyncMutex<std::vector<int>>::Guard>(runtime->block_on(take()));
    EXPECT_TRUE(shared.fifo().locked());

    constexpr int kWaiters = 12;
    std::atomic<int> finished{0};
    auto waiter = [&](int number) -> Task<void> {
        auto guard = co_await shared.lock(*runtime);
        guard->push_back(number);
        // Give a later waiter every chance to barge in while this one holds the lock.
        co_await runtime->sleep_for(1ms);
        ++finished;
    };
    for (int number = 0; number < kWaiters; ++number) {
        runtime->spawn(waiter(number));
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (shared.fifo().waiting() < static_cast<std::size_t>(number + 1) &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        ASSERT_EQ(shared.fifo().waiting(), static_cast<std::size_t>(number + 1));
    }
    holder.reset();
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (finished.load() < kWaiters && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    ASSERT_EQ(finished.load(), kWaiters);
    std::vector<int> expected(kWaiters);
    for (int i = 0; i < kWaiters; ++i) expected[i] = i;
    auto guard = runtime->block_on(take());
    EXPECT_EQ(*guard, expected);
}

// Counts how many probes are alive, to see that a pending task's frame is really destroyed.
struct LifeProbe {
    explicit LifeProbe(std::atomic<int>& alive) : alive(alive) { ++alive; }
    ~LifeProbe() { --alive; }
    std::atomic<int>& alive;
};

TEST(RuntimeTest, ShutdownWithPendingOperationsJoinsAndDestroysThem) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair), 0);
    const std::size_t before = thread_count_settling_at(0);
    std::atomic<int> alive{0};
    auto lock = std::make_shared<FifoLock>();
    {
        auto never_readable = [&](Runtime& rt) -> Task<void> {
            LifeProbe probe(alive);
            auto held = co_await lock->acquire(rt);
            co_await rt.readable(pair[0]);
        };
        auto queued_behind = [&](Runtime& rt) -> Task<void> {
            LifeProbe probe(alive);
            auto held = co_await lock->acquire(rt);
        };
        auto sleeping = [&](Runtime& rt) -> Task<void> {
            LifeProbe probe(alive);
            co_await rt.sleep_for(1h);
        };
        auto runtime = make_runtime();
        runtime->spawn(never_readable(*runtime));
        runtime->spawn(sleeping(*runtime));
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (!lock->locked() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
        runtime->spawn(queued_behind(*runtime));
        while ((lock->waiting() < 1 || alive.load() < 3) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        ASSERT_EQ(alive.load(), 3);
        EXPECT_EQ(runtime->pending_spawned(), 3u);
    }
    EXPECT_EQ(alive.load(), 0);
    EXPECT_EQ(thread_count_settling_at(before), before);
    // The lock outlived the runtime: nobody is left queued and it is free again.
    EXPECT_EQ(lock->waiting(), 0u);
    EXPECT_FALSE(lock->locked());
    close(pair[0]);
    close(pair[1]);
}

TEST(RuntimeTest, ThousandsOfRuntimesLeaveNoThreadBehind) {
    const std::size_t before = thread_count_settling_at(0);
    for (int i = 0; i < 2000; ++i) {
        auto runtime = make_runtime();
        if (i % 100 == 0) {
            EXPECT_EQ(runtime->block_on(answer_after(*runtime, 0ms, i)), i);
        }
    }
    EXPECT_EQ(thread_count_settling_at(before), before);
}

}  // namespace
}  // namespace zorvo::hybrid
