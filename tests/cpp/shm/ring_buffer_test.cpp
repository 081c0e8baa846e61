#include "zorvo/shm/ring_buffer.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "zorvo/common/little_endian.hpp"

namespace zorvo::shm {
namespace {

// Queue memory as the engine lays it out: zeroed, so all three indices start equal.
template <class Entry>
struct QueueMemory {
    std::vector<std::uint64_t> words = std::vector<std::uint64_t>(queue_bytes(Entry::SIZE) / 8, 0);
    std::uint8_t* data() { return reinterpret_cast<std::uint8_t*>(words.data()); }
    void set_index(int cell, std::uint64_t value) { store_le(data() + cell * Entry::SIZE, value); }
};

ShmRequestEntry request(std::uint64_t id) {
    return ShmRequestEntry{.request_id = id, .timestamp_ns = id * 3, .tensor_offset = id * 7, .tensor_size = 80 + id};
}

TEST(QueueEntries, RequestEntryBytes) {
    std::uint8_t bytes[40];
    std::memset(bytes, 0xAA, sizeof bytes);
    const ShmRequestEntry entry{.request_id = 7, .timestamp_ns = 0x0102030405060708, .tensor_offset = 4096, .tensor_size = 128};
    entry.encode_into(std::span<std::uint8_t, 40>(bytes));
    const std::uint8_t expected[40] = {7, 0, 0, 0, 0, 0, 0, 0,  0, 0, 0, 0, 0, 0, 0, 0,
                                       8, 7, 6, 5, 4, 3, 2, 1,  0, 16, 0, 0, 0, 0, 0, 0,
                                       128, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(bytes, expected, 40), 0);
    EXPECT_EQ(ShmRequestEntry::decode(std::span<const std::uint8_t, 40>(bytes)), entry);
}

TEST(QueueEntries, ResponseEntryBytesIgnoreReservedField) {
    std::uint8_t bytes[48];
    for (std::size_t i = 0; i < 48; ++i) bytes[i] = static_cast<std::uint8_t>(i);
    const auto decoded = ShmResponseEntry::decode(std::span<const std::uint8_t, 48>(bytes));
    EXPECT_EQ(decoded.request_id, 0x0706050403020100u);
    EXPECT_EQ(decoded.is_error, 8);
    EXPECT_EQ(decoded.aux_1, 0x1716151413121110u);
    EXPECT_EQ(decoded.result_offset, 0x1F1E1D1C1B1A1918u);
    EXPECT_EQ(decoded.aux_2, 0x2726252423222120u);
    EXPECT_EQ(decoded.error_offset, 0x2F2E2D2C2B2A2928u);

    std::uint8_t again[48];
    decoded.encode_into(std::span<std::uint8_t, 48>(again));
    for (std::size_t i = 9; i < 16; ++i) EXPECT_EQ(again[i], 0) << i;
    EXPECT_EQ(std::memcmp(again, bytes, 9), 0);
    EXPECT_EQ(std::memcmp(again + 16, bytes + 16, 32), 0);
}

TEST(RingBuffer, FreshQueueIsEmpty) {
    QueueMemory<ShmResponseEntry> memory;
    ResponseQueue queue(memory.data());
    auto popped = queue.try_pop();
    ASSERT_TRUE(popped.ok());
    EXPECT_FALSE(popped.value().has_value());
}

TEST(RingBuffer, EntriesLandInTheirSlotsAndComeBackInOrder) {
    QueueMemory<ShmRequestEntry> memory;
    RequestQueue queue(memory.data());
    ASSERT_TRUE(queue.push(request(1)).ok());
    ASSERT_TRUE(queue.push(request(2)).ok());
    // Slot 1 of the request queue starts at 120 + 40.
    EXPECT_EQ(load_le<std::uint64_t>(memory.data() + 160), 2u);
    EXPECT_EQ(load_le<std::uint64_t>(memory.data() + 40), 2u);  // commit index cell
    for (std::uint64_t id : {1u, 2u}) {
        auto popped = queue.try_pop();
        ASSERT_TRUE(popped.ok() && popped.value().has_value());
        EXPECT_EQ(*popped.value(), request(id));
    }
    EXPECT_EQ(load_le<std::uint64_t>(memory.data() + 80), 2u);  // read index cell
}

TEST(RingBuffer, FullQueueRefusesWithoutChangingIndices) {
    QueueMemory<ShmRequestEntry> memory;
    RequestQueue queue(memory.data());
    for (std::uint64_t i = 0; i < 1020; ++i) ASSERT_TRUE(queue.push(request(i)).ok()) << i;
    auto refused = queue.push(request(9999));
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().kind(), QueueError::Kind::Full);
    EXPECT_EQ(refused.error().display(), "Queue is full");
    EXPECT_EQ(queue.reserve_index(), 1020u);
    EXPECT_EQ(queue.commit_index(), 1020u);
    EXPECT_EQ(queue.read_index(), 0u);

    auto popped = queue.try_pop();
    ASSERT_TRUE(popped.ok() && popped.value().has_value());
    EXPECT_EQ(popped.value()->request_id, 0u);
    EXPECT_TRUE(queue.push(request(1020)).ok());
    EXPECT_FALSE(queue.push(request(1021)).ok());
}

TEST(RingBuffer, IndicesWrapRoundTheRing) {
    QueueMemory<ShmResponseEntry> memory;
    ResponseQueue queue(memory.data());
    for (std::uint64_t i = 0; i < 2500; ++i) {
        ASSERT_TRUE(queue.push(ShmResponseEntry{.request_id = i, .result_offset = i * 2}).ok());
        auto popped = queue.try_pop();
        ASSERT_TRUE(popped.ok() && popped.value().has_value());
        ASSERT_EQ(popped.value()->request_id, i);
        ASSERT_EQ(popped.value()->result_offset, i * 2);
    }
    EXPECT_EQ(queue.reserve_index(), 458u);
    EXPECT_EQ(queue.commit_index(), 458u);
    EXPECT_EQ(queue.read_index(), 458u);
}

TEST(RingBuffer, IndicesOutsideTheRingAreReportedNotFollowed) {
    for (int cell : {0, 1, 2}) {
        SCOPED_TRACE(cell);
        QueueMemory<ShmRequestEntry> memory;
        memory.set_index(cell, 1021);
        RequestQueue queue(memory.data(), std::chrono::milliseconds(10));
        auto pushed = queue.push(request(1));
        auto popped = queue.try_pop();
        if (cell == 1) {
            // A bad commit index cannot be claimed; the push gives up after the stall limit.
            ASSERT_FALSE(pushed.ok());
            EXPECT_EQ(pushed.error().kind(), QueueError::Kind::CommitStalled);
        } else {
            ASSERT_FALSE(pushed.ok());
            EXPECT_EQ(pushed.error().kind(), QueueError::Kind::Corrupt);
        }
        if (cell == 0) {
            EXPECT_TRUE(popped.ok());
        } else {
            ASSERT_FALSE(popped.ok());
            EXPECT_EQ(popped.error().display(),
                      "Queue is corrupt: index 1021 is not a slot of the 1021-slot ring");
        }
    }
}

TEST(RingBuffer, PushGivesUpWhenAnEarlierProducerNeverPublishes) {
    QueueMemory<ShmRequestEntry> memory;
    memory.set_index(0, 1);  // slot 0 reserved by a producer that died before committing
    RequestQueue queue(memory.data(), std::chrono::milliseconds(20));
    const auto started = std::chrono::steady_clock::now();
    auto pushed = queue.push(request(5));
    const auto waited = std::chrono::steady_clock::now() - started;
    ASSERT_FALSE(pushed.ok());
    EXPECT_EQ(pushed.error().display(),
              "Queue commit stalled: an earlier producer never published its entry");
    EXPECT_GE(waited, std::chrono::milliseconds(20));
    EXPECT_LT(waited, std::chrono::seconds(2));
    EXPECT_EQ(queue.commit_index(), 0u);  // nothing was published past the dead slot
    auto popped = queue.try_pop();
    ASSERT_TRUE(popped.ok());
    EXPECT_FALSE(popped.value().has_value());
}

// Slot numbers wrap modulo the capacity, so a consumer that is preempted while the others take a
// whole lap of the ring could complete a stale compare-and-swap (the format has no generation
// counter). Each round therefore moves at most one lap's worth of entries, with the indices
// reset while the queue is idle, and many rounds give the contention.
TEST(RingBuffer, ConcurrentProducersAndConsumersDeliverEachEntryOnce) {
    constexpr int kProducers = 3;
    constexpr int kConsumers = 3;
    constexpr std::uint64_t kPerProducer = 340;  // 3 x 340 = 1020 entries: the ring never laps
    constexpr int kRounds = 60;
    QueueMemory<ShmRequestEntry> memory;
    const RequestQueue queue(memory.data());

    for (int round = 0; round < kRounds; ++round) {
        for (int cell = 0; cell < 3; ++cell) memory.set_index(cell, 0);
        std::vector<std::atomic<int>> seen(kProducers * kPerProducer);
        std::atomic<std::uint64_t> consumed{0};
        std::atomic<bool> bad_entry{false};
        std::atomic<bool> producer_failed{false};
        std::vector<std::thread> threads;
        for (int p = 0; p < kProducers; ++p) {
            threads.emplace_back([&, p] {
                for (std::uint64_t i = 0; i < kPerProducer; ++i) {
                    if (!queue.push(request(p * kPerProducer + i)).ok()) {
                        producer_failed = true;
                        return;
                    }
                }
            });
        }
        for (int c = 0; c < kConsumers; ++c) {
            threads.emplace_back([&] {
                const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
                while (consumed.load() < kProducers * kPerProducer &&
                       std::chrono::steady_clock::now() < deadline) {
                    auto popped = queue.try_pop();
                    if (!popped.ok()) return;
                    if (!popped.value()) {
                        std::this_thread::yield();
                        continue;
                    }
                    const auto& entry = *popped.value();
                    // A torn entry would break the relation between its fields.
                    if (entry.request_id >= seen.size() || entry != request(entry.request_id)) {
                        bad_entry = true;
                        continue;
                    }
                    seen[entry.request_id].fetch_add(1);
                    consumed.fetch_add(1);
                }
            });
        }
        for (auto& t : threads) t.join();
        ASSERT_FALSE(bad_entry.load()) << "round " << round;
        ASSERT_FALSE(producer_failed.load()) << "round " << round;
        ASSERT_EQ(consumed.load(), kProducers * kPerProducer) << "round " << round;
        for (std::size_t id = 0; id < seen.size(); ++id) ASSERT_EQ(seen[id].load(), 1) << id;
        EXPECT_EQ(queue.reserve_index(), queue.read_index());
        EXPECT_EQ(queue.commit_index(), queue.read_index());
    }
}

}  // namespace
}  // namespace zorvo::shm

namespace zorvo::shm {
namespace {

TEST(RingBuffer, StalledPushIsPublishedAfterTheEarlierEntryOrInPlaceOfIt) {
    using namespace std::chrono_literals;
    for (const bool earlier_producer_publishes : {true, false}) {
        SCOPED_TRACE(earlier_producer_publishes);
        QueueMemory<ShmRequestEntry> memory;
        memory.set_index(0, 1);  // an earlier producer reserved slot 0 and has not published it
        request(5).encode_into(std::span<std::uint8_t, ShmRequestEntry::SIZE>(memory.data() + 3 * ShmRequestEntry::SIZE,
                                                                            ShmRequestEntry::SIZE));
        RequestQueue queue(memory.data(), 10ms);
        std::uint64_t stalled_at = QUEUE_CAPACITY;
        auto pushed = queue.push(request(7), &stalled_at);
        ASSERT_FALSE(pushed.ok());
        ASSERT_EQ(stalled_at, 1u);
        EXPECT_FALSE(queue.try_pop().value().has_value());

        EXPECT_EQ(queue.finish_publish(stalled_at), RequestQueue::FollowUp::Waiting);
        if (earlier_producer_publishes) {
            memory.set_index(1, 1);
        } else {
            // Only at the commit index, and only once.
            EXPECT_FALSE(queue.publish_in_place(1, request(0)));
            EXPECT_TRUE(queue.publish_in_place(0, request(0)));
            EXPECT_FALSE(queue.publish_in_place(0, request(0)));
        }
        EXPECT_EQ(queue.finish_publish(stalled_at), RequestQueue::FollowUp::Published);
        // Published: the index is no longer waiting, and a second follow-up does nothing.
        EXPECT_EQ(queue.finish_publish(stalled_at), RequestQueue::FollowUp::Gone);
        auto first = queue.try_pop();
        ASSERT_TRUE(first.ok() && first.value().has_value());
        EXPECT_EQ(first.value()->request_id, earlier_producer_publishes ? 5u : 0u);
        auto second = queue.try_pop();
        ASSERT_TRUE(second.ok() && second.value().has_value());
        EXPECT_EQ(second.value()->request_id, 7u);
        EXPECT_EQ(queue.commit_index(), 2u);
        EXPECT_EQ(queue.reserve_index(), 2u);
    }
}

}  // namespace
}  // namespace zorvo::shm

namespace zorvo::shm {
namespace {

TEST(RingBuffer, ProducersWithFewEntriesInFlightNeverSeeAFullQueue) {
    // Each producer waits for its entry to be consumed before the next push, so the ring never
    // holds more than eight entries: a "full" here would come from a stale look at the indices.
    constexpr int kProducers = 8;
    constexpr std::uint64_t kPerProducer = 40000;
    QueueMemory<ShmRequestEntry> memory;
    const RequestQueue queue(memory.data());
    std::vector<std::atomic<std::uint64_t>> consumed(kProducers);
    std::atomic<int> refused{0};
    std::atomic<bool> done{false};
    std::thread consumer([&] {
        while (!done.load()) {
            auto popped = queue.try_pop();
            if (popped.ok() && popped.value()) consumed[popped.value()->request_id % kProducers].fetch_add(1);
        }
    });
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (std::uint64_t i = 0; i < kPerProducer; ++i) {
                if (!queue.push(request(i * kProducers + p)).ok()) ++refused;
                while (consumed[p].load() < i + 1 && refused.load() == 0) std::this_thread::yield();
                if (refused.load() != 0) return;
            }
        });
    }
    for (auto& producer : producers) producer.join();
    done = true;
    consumer.join();
    EXPECT_EQ(refused.load(), 0);
}

}  // namespace
}  // namespace zorvo::shm
