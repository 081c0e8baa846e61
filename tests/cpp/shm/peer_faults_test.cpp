// Clients of one region that die, stop or overlap: what the survivors may rely on.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "test_region.hpp"
#include "zorvo/shm/response_consumer.hpp"
#include "zorvo/shm/ring_buffer.hpp"
#include "zorvo/shm/shm_client_core.hpp"

namespace zorvo::shm {
namespace {

using namespace std::chrono_literals;
using testing::StandardLayout;
using testing::TestRegion;

struct ResultHost : InferHost {
    std::vector<std::uint8_t> result;
    bool take_result(std::span<const std::uint8_t> data) override {
        result.assign(data.begin(), data.end());
        return true;
    }
};

// Echoes every request from a thread of the test until destroyed.
class EchoEngine {
public:
    explicit EchoEngine(TestRegion& region)
        : worker_([this, &region] {
              const RequestQueue requests(region.base() + StandardLayout::request_queue);
              const ResponseQueue responses(region.base() + StandardLayout::response_queue);
              while (!stop_.load()) {
                  auto popped = requests.try_pop();
                  if (!popped.ok()) return;
                  if (!popped.value()) {
                      std::this_thread::sleep_for(5us);
                      continue;
                  }
                  const ShmRequestEntry& request = *popped.value();
                  if (request.request_id == 0) ++fillers_;
                  while (!responses.push({.request_id = request.request_id, .result_offset = request.tensor_offset})
                              .ok()) {
                      std::this_thread::sleep_for(5us);
                  }
              }
          }) {}
    ~EchoEngine() {
        stop_ = true;
        worker_.join();
    }
    int fillers() const { return fillers_.load(); }

private:
    std::atomic<bool> stop_{false};
    std::atomic<int> fillers_{0};
    std::thread worker_;
};

struct Region {
    explicit Region(std::uint64_t pool_size) : region(StandardLayout::region_size(pool_size)) {
        region.write_header(StandardLayout::header(pool_size));
    }
    ShmClientCore connect(const ShmClientTiming& timing = {}) {
        auto connected = ShmClientCore::connect(region.name(), timing);
        if (!connected.ok()) throw std::runtime_error(connected.error().display());
        return std::move(connected).value();
    }
    TestRegion region;
};

// Runs `body` as a second client in a forked child that then dies without any clean-up, as a
// killed worker does: its client number goes with its process.
void die_in_child(Region& shared, const std::function<void(ShmClientCore&)>& body) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto connected = ShmClientCore::connect(shared.region.name());
        if (!connected.ok()) ::_exit(2);
        body(connected.value());
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

Result<Unit, InferError> call(ShmClientCore& client, std::uint8_t value, ResultHost& host) {
    const std::uint8_t data[16] = {value};
    const std::int64_t shape[] = {16};
    return client.infer(shape, "uint8", data, host);
}

// A dead client's call, stopped at some step: how far it got decides what survivors may reclaim.
enum class DiedAfter { Claiming, Reserving, Answered, Announcing };

TEST(PeerFaults, DeadClientsNeitherStallTheQueueNorKeepSlotsTheEngineIsDoneWith) {
    for (const DiedAfter step : {DiedAfter::Claiming, DiedAfter::Reserving, DiedAfter::Answered,
                                 DiedAfter::Announcing}) {
        SCOPED_TRACE(static_cast<int>(step));
        Region shared(2 * 262144);
        ShmClientCore survivor = shared.connect();
        const RequestQueue requests(shared.region.base() + StandardLayout::request_queue);
        const ResponseQueue responses(shared.region.base() + StandardLayout::response_queue);
        die_in_child(shared, [&](ShmClientCore& dying) {
            const PeerTable& peers = dying.peers();
            const auto claimed = dying.allocator().claim(64);
            if (!claimed) ::_exit(3);
            const unsigned cell = peers.acquire_cell();
            peers.record_slot(cell, claimed->index);
            peers.arm(cell, 7);
            if (step == DiedAfter::Claiming) return;
            if (step == DiedAfter::Answered) {
                survivor.peers().hand_over({.request_id = compose_request_id(peers.number(), 7)});
                return;
            }
            peers.reserving(cell, requests.reserve_index());
            if (step == DiedAfter::Announcing) {
                const ShmRequestEntry entry{.request_id = compose_request_id(peers.number(), 7),
                                            .tensor_offset = claimed->offset};
                if (!requests.push(entry).ok()) ::_exit(4);
                peers.published(cell);
                return;
            }
            // Reserves the next request-queue index as a push does, and dies before publishing.
            std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t*>(
                                               shared.region.base() + StandardLayout::request_queue))
                .fetch_add(1);
        });
        // The survivor holds the other slot: nobody calls, and its call needs the dead client's.
        ASSERT_TRUE(survivor.allocator().try_allocate(64));
        ResultHost host;
        if (step == DiedAfter::Announcing) {
            // Unanswered, the request may still be read by the engine: its slot stays claimed.
            auto early = call(survivor, 8, host);
            ASSERT_FALSE(early.ok());
            EXPECT_NE(early.error().message.find("SHM tensor pool exhausted"), std::string::npos);
        }
        EchoEngine engine(shared.region);
        if (step == DiedAfter::Announcing) {
            // Answered while nobody waits for it: the call that finds the pool full hands it over.
            for (int polls = 0; !responses.has_entry() && polls < 2000; ++polls) std::this_thread::sleep_for(1ms);
        }
        const auto started = std::chrono::steady_clock::now();
        auto outcome = call(survivor, 9, host);
        ASSERT_TRUE(outcome.ok()) << outcome.error().message;
        EXPECT_EQ(host.result.at(0), 9);
        EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
        EXPECT_EQ(requests.commit_index(), requests.reserve_index());
        // The dead reserver's entry went out as an empty request, in order.
        EXPECT_EQ(engine.fillers(), step == DiedAfter::Reserving ? 1 : 0);
        // The dead client's slot came back for good.
        EXPECT_TRUE(survivor.allocator().try_allocate(64));
    }
}

TEST(PeerFaults, AReusedNumberContinuesCountingAndIgnoresItsPredecessorsLateAnswers) {
    Region shared(1048576);
    std::uint64_t last_id = 0;
    // Another client keeps the coordination object while the number changes hands.
    ShmClientCore keeper = shared.connect();
    {
        ShmClientCore first = shared.connect();
        EchoEngine engine(shared.region);
        ResultHost host;
        for (std::uint8_t i = 1; i <= 3; ++i) ASSERT_TRUE(call(first, i, host).ok());
        last_id = first.next_request_id() - 1;
        EXPECT_EQ(request_counter(last_id), 3u);  // counts 1, 2, 3 on a fresh object
    }
    ShmClientCore second = shared.connect();
    EXPECT_EQ(second.peers().number(), 1u);
    EXPECT_EQ(second.next_request_id(), last_id + 1);
    // The predecessor's late answer arrives first: it is nobody's.
    const ResponseQueue responses(shared.region.base() + StandardLayout::response_queue);
    ASSERT_TRUE(responses.push({.request_id = last_id, .result_offset = 1}).ok());
    EchoEngine engine(shared.region);
    ResultHost host;
    ASSERT_TRUE(call(second, 42, host).ok());
    EXPECT_EQ(host.result.at(0), 42);
}

TEST(PeerFaults, APushStalledBehindAStoppedProducerHoldsOneSlotAndFreesItOnceAnsweredThoughNobodyElseCalls) {
    Region shared(3 * 262144);
    ShmClientCore stopped = shared.connect();
    ShmClientCore caller = shared.connect();
    const RequestQueue requests(shared.region.base() + StandardLayout::request_queue);
    // A live producer stops between reserving its entry and publishing it, holding a slot.
    const PeerTable& producer = stopped.peers();
    const auto claimed = stopped.allocator().claim(64);
    ASSERT_TRUE(claimed);
    const unsigned cell = producer.acquire_cell();
    producer.record_slot(cell, claimed->index);
    producer.arm(cell, 5);
    producer.reserving(cell, requests.reserve_index());
    std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t*>(shared.region.base() +
                                                                      StandardLayout::request_queue))
        .fetch_add(1);
    EchoEngine engine(shared.region);
    ResultHost host;
    auto stalled = call(caller, 9, host);
    ASSERT_FALSE(stalled.ok());
    EXPECT_NE(stalled.error().message.find("Queue commit stalled"), std::string::npos);
    // While the producer stays stopped, later calls wait as long and fail alike, but no longer
    // leave a slot behind each: only the stalled entry's follow-up holds one.
    auto again = call(caller, 10, host);
    ASSERT_FALSE(again.ok());
    EXPECT_NE(again.error().message.find("Queue commit stalled"), std::string::npos);
    const auto spare = caller.allocator().try_allocate(64);
    ASSERT_TRUE(spare);
    ASSERT_FALSE(caller.allocator().try_allocate(64).has_value());
    caller.allocator().release(*spare);
    // The producer goes on; its entry, then the stalled one, reach the engine. Nobody calls, yet
    // the stalled call's slot comes back as soon as its answer is in.
    ASSERT_EQ(requests.finish_publish(0), RequestQueue::FollowUp::Published);
    producer.published(cell);
    const auto continued = std::chrono::steady_clock::now();
    std::vector<std::uint64_t> freed;
    while (freed.size() < 2 && std::chrono::steady_clock::now() - continued < 3s) {
        std::this_thread::sleep_for(1ms);
        if (auto offset = caller.allocator().try_allocate(64)) freed.push_back(*offset);
    }
    EXPECT_EQ(freed.size(), 2u);
    EXPECT_LT(std::chrono::steady_clock::now() - continued, 1s);
    // And the next call goes through at once.
    for (const std::uint64_t offset : freed) caller.allocator().release(offset);
    ASSERT_TRUE(call(caller, 11, host).ok());
    EXPECT_EQ(host.result.at(0), 11);
}

TEST(PeerFaults, AConsumerKilledWhilePoppingSomeoneElsesAnswerTakesNothingWithIt) {
    for (const bool inside_the_pop : {false, true}) {
        SCOPED_TRACE(inside_the_pop);
        Region shared(1048576);
        ShmClientCore owner = shared.connect();
        ShmClientCore other = shared.connect();
        const ResponseQueue responses(shared.region.base() + StandardLayout::response_queue);
        // The owner's call awaits counter 3; its answer is the next in the queue.
        const unsigned cell = owner.peers().acquire_cell();
        owner.peers().arm(cell, 3);
        const std::uint64_t id = compose_request_id(owner.peers().number(), 3);
        ASSERT_TRUE(responses.push({.request_id = id, .result_offset = 4096}).ok());
        die_in_child(shared, [&](ShmClientCore& dying) {
            if (inside_the_pop) {
                // Killed with the consumer lock held and the answer copied, just before the pop.
                if (!dying.peers().try_lock_consumer()) ::_exit(3);
                (void)responses.try_pop(dying.peers().consumer_lock(), dying.peers().own_lock_word(),
                                        [](const ShmResponseEntry&) { ::_exit(0); });
                ::_exit(4);
            }
            // Killed right after the pop.
            ResponseConsumer consumer(dying.peers(), responses);
            auto popped = consumer.pop(std::chrono::steady_clock::now());
            if (!popped.ok() || !popped.value().any) ::_exit(5);
        });
        // Whoever consumes next passes the answer on if it is still queued.
        ResponseConsumer consumer(other.peers(), responses);
        for (int polls = 0; responses.has_entry() && polls < 1000; ++polls) {
            std::this_thread::sleep_for(1ms);
            ASSERT_TRUE(consumer.pop(std::chrono::steady_clock::now()).ok());
        }
        const auto answer = owner.peers().collect(cell, 3);
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->request_id, id);
        EXPECT_EQ(answer->result_offset, 4096u);
        owner.peers().finish(cell);
    }
}

TEST(PeerFaults, ThreadsOfOneClientAndOtherClientsShareTheQueuesWithoutLosingAnAnswer) {
    Region shared(64 * 262144);
    ShmClientCore busy = shared.connect();
    busy.allow_concurrent_calls();
    ShmClientCore other = shared.connect();
    EchoEngine engine(shared.region);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            ShmClientCore& client = t == 0 ? other : busy;
            for (int i = 0; i < 300; ++i) {
                ResultHost host;
                const auto value = static_cast<std::uint8_t>(t * 40 + i % 40);
                auto outcome = call(client, value, host);
                if (!outcome.ok() || host.result.empty() || host.result[0] != value) ++wrong;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(PeerFaults, LocksAndCellsOfDeadHoldersAreRecoveredAndALiveWritersCellIsLeftAlone) {
    Region shared(1048576);
    ShmClientCore survivor = shared.connect();
    ShmClientCore stopped_writer = shared.connect();
    const PeerTable& peers = survivor.peers();
    using Word = std::atomic_ref<std::uint64_t>;
    auto state_of = [&](unsigned cell) -> Word {
        auto* block = reinterpret_cast<layout::PeerBlock*>(
            const_cast<std::uint64_t*>(peers.claim_words()) - layout::CLAIMS_OFFSET / 8);
        block = reinterpret_cast<layout::PeerBlock*>(reinterpret_cast<std::uint8_t*>(block) +
                                                     layout::peers_offset(peers.slot_count())) +
                peers.number();
        return Word(block->cells[cell].state);
    };
    // Cell 0: a hand-over by a live writer that stopped half-way. Cell 1: one by a writer that
    // died half-way. And a client that died holding the response queue's consumer lock.
    state_of(0).store(layout::busy_state(stopped_writer.peers().number(), stopped_writer.peers().epoch()));
    die_in_child(shared, [&](ShmClientCore& dying) {
        state_of(1).store(layout::busy_state(dying.peers().number(), dying.peers().epoch()));
        if (!dying.peers().try_lock_consumer()) ::_exit(3);
    });
    EchoEngine engine(shared.region);
    ResultHost host;
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(call(survivor, 5, host).ok());
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
    EXPECT_EQ(state_of(0).load(), layout::busy_state(stopped_writer.peers().number(), stopped_writer.peers().epoch()));
    EXPECT_EQ(state_of(1).load(), 0u);
}

TEST(PeerFaults, AWaitingCallKeepsItsSlotPastTheLeaseAndAnAnswerAfterALostClaimIsRefused) {
    Region shared(262144);  // one slot
    ShmClientTiming timing;
    timing.slot_lease = 300ms;
    timing.response_timeout = 3s;
    ShmClientCore waiting = shared.connect(timing);
    ShmClientCore other = shared.connect(timing);
    for (const bool claim_lost : {false, true}) {
        SCOPED_TRACE(claim_lost);
        std::atomic<bool> answer{false};
        std::thread engine([&] {
            const RequestQueue requests(shared.region.base() + StandardLayout::request_queue);
            const ResponseQueue responses(shared.region.base() + StandardLayout::response_queue);
            std::optional<ShmRequestEntry> request;
            while (!request) request = requests.try_pop().value();
            // Three leases later: meanwhile the slot must stay the waiting call's.
            std::this_thread::sleep_for(900ms);
            EXPECT_FALSE(other.allocator().try_allocate(64).has_value());
            if (claim_lost) {
                // As if this process had been stopped past the lease and the slot taken over.
                std::atomic_ref<std::uint64_t>(waiting.peers().claim_words()[0]).store(0);
            }
            ASSERT_TRUE(responses.push({.request_id = request->request_id, .result_offset = request->tensor_offset}).ok());
        });
        ResultHost host;
        auto outcome = call(waiting, 3, host);
        engine.join();
        EXPECT_EQ(outcome.ok(), !claim_lost);
        if (claim_lost) {
            EXPECT_NE(outcome.error().message.find("lease ended"), std::string::npos);
        }
    }
}

}  // namespace
}  // namespace zorvo::shm
