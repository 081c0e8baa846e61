#include "zorvo/common/worker_pool.hpp"

#include <poll.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "zorvo/common/completion_channel.hpp"

namespace zorvo {
namespace {

// Blocks until every job of its batch has started, then posts itself: only a pool that runs each
// job on a thread of its own gets them all going.
class Rendezvous final : public Job {
public:
    Rendezvous(std::latch& all_started, CompletionChannel& done) : all_started_(all_started), done_(done) {}
    void run() noexcept override {
        all_started_.arrive_and_wait();
        done_.post(*this);
    }

private:
    std::latch& all_started_;
    CompletionChannel& done_;
};

bool readable(int fd, int timeout_ms) {
    pollfd waiting{fd, POLLIN, 0};
    return ::poll(&waiting, 1, timeout_ms) == 1;
}

TEST(WorkerPool, RunsEveryBlockingJobAtOnceAndHandsThemBackThroughOneDescriptor) {
    constexpr int kJobs = 48;
    auto channel = CompletionChannel::create();
    ASSERT_TRUE(channel.ok());
    CompletionChannel& done = *channel.value();
    std::latch all_started(kJobs);
    std::vector<std::unique_ptr<Rendezvous>> jobs;
    {
        WorkerPool pool(1024, std::chrono::milliseconds(50));
        for (int i = 0; i < kJobs; ++i) {
            jobs.push_back(std::make_unique<Rendezvous>(all_started, done));
            ASSERT_TRUE(pool.submit(*jobs.back()));
        }
        std::size_t taken = 0;
        while (taken < kJobs) {
            ASSERT_TRUE(readable(done.fd(), 5000));
            taken += done.take().size();
        }
        EXPECT_FALSE(readable(done.fd(), 0));  // nothing posted since: the descriptor is quiet
        EXPECT_GE(pool.thread_count(), 1u);
        // Idle threads end; the pool shrinks back.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (pool.thread_count() > 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(pool.thread_count(), 0u);
    }
}

}  // namespace
}  // namespace zorvo
