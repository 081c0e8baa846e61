#include "zorvo/shm/shm_client_core.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "test_region.hpp"
#include "zorvo/common/little_endian.hpp"
#include "zorvo/shm/ring_buffer.hpp"

namespace zorvo::shm {
namespace {

using namespace std::chrono_literals;
using testing::StandardLayout;
using testing::TestRegion;

// Stands in for the interpreter: records what the core asked of it.
struct RecordingHost : InferHost {
    std::vector<std::uint8_t> result;
    int releases = 0;
    int reacquires = 0;
    int handler_rounds = 0;
    int fail_handlers_after = -1;  // -1: handlers never fail

    void release_host_lock() noexcept override { ++releases; }
    void reacquire_host_lock() noexcept override { ++reacquires; }
    bool run_pending_handlers() override {
        ++handler_rounds;
        return fail_handlers_after < 0 || handler_rounds <= fail_handlers_after;
    }
    bool take_result(std::span<const std::uint8_t> data) override {
        result.assign(data.begin(), data.end());
        return true;
    }
};

// An engine on a thread of the test: answers each request with whatever `answer` pushes.
class ScriptedEngine {
public:
    using Answer = std::function<void(const ShmRequestEntry&, const ResponseQueue&)>;

    ScriptedEngine(TestRegion& region, Answer answer)
        : worker_([this, &region, answer = std::move(answer)] {
              const RequestQueue requests(region.base() + StandardLayout::request_queue);
              const ResponseQueue responses(region.base() + StandardLayout::response_queue);
              while (!stop_.load()) {
                  auto popped = requests.try_pop();
                  if (!popped.ok()) return;
                  if (!popped.value()) {
                      std::this_thread::sleep_for(10us);
                      continue;
                  }
                  seen_.push_back(*popped.value());
                  answer(*popped.value(), responses);
              }
          }) {}
    ~ScriptedEngine() { stop(); }

    // Joins the engine; afterwards the requests it saw may be inspected.
    const std::vector<ShmRequestEntry>& stop() {
        stop_ = true;
        if (worker_.joinable()) worker_.join();
        return seen_;
    }

private:
    std::atomic<bool> stop_{false};
    std::vector<ShmRequestEntry> seen_;
    std::thread worker_;
};

void echo(const ShmRequestEntry& request, const ResponseQueue& responses) {
    ASSERT_TRUE(responses.push({.request_id = request.request_id, .result_offset = request.tensor_offset}).ok());
}

ShmClientTiming quick_timing() {
    ShmClientTiming timing;
    timing.response_timeout = 200ms;
    timing.slot_lease = 400ms;
    return timing;
}

struct ClientFixture {
    explicit ClientFixture(std::uint64_t pool_size, const ShmClientTiming& timing = {}, std::int32_t notify_fd = -1)
        : region(StandardLayout::region_size(pool_size)) {
        region.write_header(StandardLayout::header(pool_size, notify_fd));
        auto connected = ShmClientCore::connect(region.name(), timing);
        if (!connected.ok()) throw std::runtime_error(connected.error().display());
        client.emplace(std::move(connected).value());
    }

    // Whether every slot of the pool can be leased right now (leases them and gives them back).
    std::size_t free_slots() {
        std::vector<std::uint64_t> taken;
        while (auto offset = client->allocator().try_allocate(1)) taken.push_back(*offset);
        for (auto offset : taken) client->allocator().release(offset);
        return taken.size();
    }

    TestRegion region;
    std::optional<ShmClientCore> client;
};

TEST(ShmClientCore, EchoRoundTripWritesTheBlockAndReturnsTheSlot) {
    ClientFixture fixture(1048576);
    ScriptedEngine engine(fixture.region, echo);
    std::vector<std::uint8_t> data(48);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 5);
    const std::int64_t shape[] = {2, 3};
    RecordingHost host;
    auto outcome = fixture.client->infer(shape, "int64", data, host);
    ASSERT_TRUE(outcome.ok()) << outcome.error().message;
    EXPECT_EQ(host.result, data);
    EXPECT_EQ(host.releases, 0);  // no readiness descriptor, no wait

    const auto seen = engine.stop();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].request_id, 1u);
    EXPECT_EQ(seen[0].tensor_size, 128u);
    EXPECT_GT(seen[0].timestamp_ns, 1'600'000'000'000'000'000u);
    const std::uint8_t* block = fixture.region.base() + seen[0].tensor_offset;
    EXPECT_EQ(load_le<std::uint32_t>(block), 2u);
    EXPECT_EQ(block[4], 3);
    EXPECT_EQ(load_le<std::uint64_t>(block + 72), 48u);
    EXPECT_EQ(fixture.free_slots(), 4u);
}

TEST(ShmClientCore, RequestNumbersAdvanceAlsoOnFailedCalls) {
    ClientFixture fixture(1048576);
    ScriptedEngine engine(fixture.region, echo);
    RecordingHost host;
    const std::uint8_t byte[] = {9};
    ASSERT_TRUE(fixture.client->infer({}, "u8", byte, host).ok());

    auto bad_dtype = fixture.client->infer({}, "complex64", byte, host);
    ASSERT_FALSE(bad_dtype.ok());
    EXPECT_EQ(bad_dtype.error().kind, InferError::Kind::InvalidArgument);
    EXPECT_EQ(bad_dtype.error().message, "Invalid input: Unsupported dtype: complex64");
    EXPECT_EQ(fixture.free_slots(), 4u);

    const std::vector<std::int64_t> nine(9, 1);
    auto too_deep = fixture.client->infer(nine, "float32", byte, host);
    ASSERT_FALSE(too_deep.ok());
    EXPECT_EQ(too_deep.error().kind, InferError::Kind::InvalidArgument);
    EXPECT_EQ(too_deep.error().message, "shape has 9 dimensions; at most 8 fit in a shared-memory tensor block");

    ASSERT_TRUE(fixture.client->infer({}, "float32", byte, host).ok());
    for (int call = 0; call < 4; ++call) ASSERT_TRUE(fixture.client->infer({}, "u8", byte, host).ok());
    EXPECT_EQ(fixture.client->next_request_id(), 9u);
    const auto seen = engine.stop();
    // A client alone on its region: numbers 1, 2, 3, ... and each search starts one slot further
    // on (the refused element type took and gave back slot 1, free_slots searched five times, the
    // refused shape searched not at all).
    std::vector<std::uint64_t> ids;
    std::vector<std::uint64_t> slots;
    for (const auto& request : seen) {
        ids.push_back(request.request_id);
        slots.push_back((request.tensor_offset - StandardLayout::pool) / 262144);
    }
    EXPECT_EQ(ids, (std::vector<std::uint64_t>{1, 4, 5, 6, 7, 8}));
    EXPECT_EQ(slots, (std::vector<std::uint64_t>{0, 3, 0, 1, 2, 3}));
}

TEST(ShmClientCore, ClientsOfOneRegionHaveTheirOwnNumbersAndNeverShareASlot) {
    ClientFixture fixture(1048576);
    auto second = ShmClientCore::connect(fixture.region.name());
    ASSERT_TRUE(second.ok());
    EXPECT_EQ(second->next_request_id(), (std::uint64_t{1} << 48) + 1);

    // Slots the first client holds are not the second's to take, whatever its own table says.
    const auto held = fixture.client->allocator().try_allocate(1);
    ASSERT_TRUE(held);
    std::vector<std::uint64_t> taken;
    while (auto offset = second->allocator().try_allocate(1)) taken.push_back(*offset);
    EXPECT_EQ(taken.size(), 3u);
    EXPECT_EQ(std::count(taken.begin(), taken.end(), *held), 0);
    for (auto offset : taken) second->allocator().release(offset);
    fixture.client->allocator().release(*held);
    EXPECT_EQ(fixture.free_slots(), 4u);

    // A number is free again once its client is gone, and the lowest free number is taken.
    fixture.client.reset();
    auto third = ShmClientCore::connect(fixture.region.name());
    ASSERT_TRUE(third.ok());
    EXPECT_EQ(third->next_request_id(), 1u);
}

TEST(ShmClientCore, ClientsOnThreadsReceiveEachOthersAnswersThroughTheirMailboxes) {
    ClientFixture fixture(1048576);
    auto second = ShmClientCore::connect(fixture.region.name());
    ASSERT_TRUE(second.ok());
    ScriptedEngine engine(fixture.region, echo);
    ShmClientCore* clients[] = {&*fixture.client, &second.value()};
    std::atomic<int> wrong{0};
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (std::uint8_t t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            RecordingHost host;
            for (std::uint32_t call = 0; call < 3000; ++call) {
                const std::uint8_t data[] = {t, static_cast<std::uint8_t>(call), static_cast<std::uint8_t>(call >> 8)};
                if (!clients[t]->infer({}, "uint8", data, host).ok()) {
                    ++failed;
                } else if (host.result != std::vector<std::uint8_t>(data, data + 3)) {
                    ++wrong;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(fixture.free_slots(), 4u);
}

TEST(ShmClientCore, CoordinationLeftByAKilledLastClientIsRemovedOnceItsRegionIsGone) {
    std::string left_behind;
    {
        ClientFixture fixture(1048576);
        left_behind = "/dev/shm" + fixture.client->peers().object_name();
        fixture.client.reset();
        ASSERT_NE(::access(left_behind.c_str(), F_OK), 0);  // the last to leave removed it
        // A last client that dies without leaving: its table stays while its region exists...
        const pid_t child = ::fork();
        if (child == 0) {
            auto own = ShmClientCore::connect(fixture.region.name());
            ::_exit(own.ok() ? 0 : 1);
        }
        int status = -1;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_EQ(status, 0);
        ASSERT_EQ(::access(left_behind.c_str(), F_OK), 0);
    }
    // ...and the first client of the next region removes it.
    ClientFixture next(1048576);
    EXPECT_NE(::access(left_behind.c_str(), F_OK), 0);
}

TEST(ShmClientCore, ExhaustedPoolIsReportedBeforeTheElementType) {
    ClientFixture fixture(1048576);
    RecordingHost host;
    const std::vector<std::uint8_t> data(262144 - 79);
    const std::string expected =
        "SHM tensor pool exhausted (required=262145 bytes, largest_slot=262144 bytes, layout=class0(base=" +
        std::to_string(StandardLayout::pool) + " slot_size=262144 slots=4))";
    for (const char* dtype : {"float32", "no-such-type"}) {
        auto outcome = fixture.client->infer({}, dtype, data, host);
        ASSERT_FALSE(outcome.ok());
        EXPECT_EQ(outcome.error().kind, InferError::Kind::Runtime);
        EXPECT_EQ(outcome.error().message, expected);
    }
    EXPECT_EQ(fixture.free_slots(), 4u);
}

TEST(ShmClientCore, EngineErrorsAndForeignAnswers) {
    ClientFixture fixture(1048576);
    const std::uint64_t text_at = StandardLayout::pool + 900000;
    const std::uint8_t text[] = {'o', 'o', 'p', 's', 0xC0};
    store_le(fixture.region.base() + text_at, std::uint64_t{sizeof text});
    std::memcpy(fixture.region.base() + text_at + 8, text, sizeof text);

    ScriptedEngine engine(fixture.region, [&](const ShmRequestEntry& request, const ResponseQueue& responses) {
        // An answer to a request nobody is waiting for comes first and must be dropped.
        ASSERT_TRUE(responses.push({.request_id = request.request_id + 1000, .is_error = 1}).ok());
        ShmResponseEntry answer{.request_id = request.request_id, .is_error = 1};
        if (request.request_id == 2) answer.error_offset = text_at;
        if (request.request_id == 3) answer.error_offset = fixture.region.bytes().size() - 4;
        if (request.request_id == 4) answer = {.request_id = 4, .result_offset = fixture.region.bytes().size() - 79};
        if (request.request_id == 5) answer = {.request_id = 5, .result_offset = request.tensor_offset};
        ASSERT_TRUE(responses.push(answer).ok());
    });
    RecordingHost host;
    const std::uint8_t data[] = {1, 2, 3};
    std::vector<std::string> messages;
    for (int call = 1; call <= 4; ++call) {
        auto outcome = fixture.client->infer({}, "uint8", data, host);
        ASSERT_FALSE(outcome.ok()) << call;
        EXPECT_EQ(outcome.error().kind, InferError::Kind::Runtime);
        messages.push_back(outcome.error().message);
    }
    EXPECT_EQ(messages[0], "Unknown error");
    EXPECT_EQ(messages[1], "oops\xEF\xBF\xBD");
    EXPECT_EQ(messages[2], "error text block at offset " + std::to_string(fixture.region.bytes().size() - 4) +
                               " lies outside the " + std::to_string(fixture.region.bytes().size()) +
                               "-byte shared memory region");
    EXPECT_EQ(messages[3].rfind("result tensor block at offset ", 0), 0u) << messages[3];
    // Every answered call gave its slot back.
    EXPECT_EQ(fixture.free_slots(), 4u);

    ASSERT_TRUE(fixture.client->infer({}, "uint8", data, host).ok());
    EXPECT_EQ(host.result, std::vector<std::uint8_t>(data, data + 3));
}

TEST(ShmClientCore, UnansweredRequestTimesOutAndKeepsItsSlotUntilTheLeaseEnds) {
    ClientFixture fixture(200000, quick_timing());
    RecordingHost host;
    const std::uint8_t data[] = {1};
    const auto started = std::chrono::steady_clock::now();
    auto outcome = fixture.client->infer({}, "float32", data, host);
    const auto waited = std::chrono::steady_clock::now() - started;
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().kind, InferError::Kind::Timeout);
    EXPECT_EQ(outcome.error().message, "Request timed out");
    EXPECT_GE(waited, 200ms);
    EXPECT_LT(waited, 2s);
    EXPECT_GT(host.handler_rounds, 1);

    // The engine may still read the block: the only slot stays leased...
    auto busy = fixture.client->infer({}, "float32", data, host);
    ASSERT_FALSE(busy.ok());
    EXPECT_EQ(busy.error().message.rfind("SHM tensor pool exhausted", 0), 0u);
    // ...until its lease runs out.
    std::this_thread::sleep_for(450ms);
    EXPECT_EQ(fixture.free_slots(), 1u);
}

TEST(ShmClientCore, FailingSignalHandlerEndsTheCallAndKeepsTheSlot) {
    ClientFixture fixture(200000, quick_timing());
    RecordingHost host;
    host.fail_handlers_after = 3;
    const std::uint8_t data[] = {1};
    auto outcome = fixture.client->infer({}, "float32", data, host);
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().kind, InferError::Kind::HostError);
    EXPECT_EQ(host.handler_rounds, 4);
    EXPECT_EQ(fixture.free_slots(), 0u);
}

TEST(ShmClientCore, FullRequestQueueFailsAndReturnsTheSlot) {
    ClientFixture fixture(1048576);
    store_le(fixture.region.base() + StandardLayout::request_queue, std::uint64_t{5});       // reserve
    store_le(fixture.region.base() + StandardLayout::request_queue + 40, std::uint64_t{5});  // commit
    store_le(fixture.region.base() + StandardLayout::request_queue + 80, std::uint64_t{6});  // read
    RecordingHost host;
    const std::uint8_t data[] = {1};
    auto outcome = fixture.client->infer({}, "float32", data, host);
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().message, "Queue is full");
    EXPECT_EQ(fixture.free_slots(), 4u);
}

TEST(ShmClientCore, ReadinessWaitReleasesTheHostAndDrainsTheDescriptor) {
    int pipe_ends[2];
    ASSERT_EQ(::pipe(pipe_ends), 0);
    ClientFixture fixture(1048576, {}, pipe_ends[0]);
    // Exactly two full chunks buffered: draining must not block on a third read.
    const std::vector<std::uint8_t> noise(256, 7);
    ASSERT_EQ(::write(pipe_ends[1], noise.data(), noise.size()), 256);
    ScriptedEngine engine(fixture.region, echo);
    RecordingHost host;
    const std::uint8_t data[] = {4, 2};
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(fixture.client->infer({}, "int32", data, host).ok());
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
    EXPECT_EQ(host.releases, 1);
    EXPECT_EQ(host.reacquires, 1);
    EXPECT_EQ(host.result, std::vector<std::uint8_t>({4, 2}));
    pollfd entry{pipe_ends[0], POLLIN, 0};
    EXPECT_EQ(::poll(&entry, 1, 0), 0);  // nothing left buffered
    ::close(pipe_ends[0]);
    ::close(pipe_ends[1]);
}

}  // namespace
}  // namespace zorvo::shm
