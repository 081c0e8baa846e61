#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "zorvo/common/result.hpp"
#include "zorvo/shm/queue_entries.hpp"
#include "zorvo/shm/queue_error.hpp"
#include "zorvo/shm/queue_layout.hpp"

namespace zorvo::shm {

// A view of one bounded multi-producer/multi-consumer queue living in the region. The three
// 64-bit indices (reserve, commit, read) sit at the start of the first three entry-sized cells,
// the slots follow; processes coordinate only through atomic operations on those indices.
// The view owns nothing and must not outlive the mapping.
template <class Entry>
class LockFreeRingBuffer {
public:
    static constexpr std::uint64_t capacity = QUEUE_CAPACITY;
    static constexpr std::uint64_t entry_size = Entry::SIZE;
    // How long push waits for earlier producers to publish before giving up.
    static constexpr std::chrono::nanoseconds DEFAULT_COMMIT_STALL_LIMIT = std::chrono::seconds(1);

    // `queue` is the queue's start: 8-byte aligned, queue_bytes(entry_size) bytes long.
    explicit LockFreeRingBuffer(std::uint8_t* queue,
                                std::chrono::nanoseconds commit_stall_limit =
                                    DEFAULT_COMMIT_STALL_LIMIT) noexcept
        : queue_(queue), commit_stall_limit_(commit_stall_limit) {}

    // Never waits for space: a full queue is reported at once and nothing changes. When earlier
    // producers do not publish within the stall limit, the push gives up with CommitStalled; its
    // entry is then written but unpublished, and `stalled_at` (if given) receives its index, so
    // that the caller can publish it later with finish_publish.
    Result<Unit, QueueError> push(const Entry& entry, std::uint64_t* stalled_at = nullptr) const;

    // Follows a stalled push to the end: publishes the entry at `index` once every earlier entry
    // is published. An earlier entry that has stayed unpublished for `presumed_dead_after`
    // belongs to a producer that is gone; it is overwritten with `filler` and published, so that
    // the queue never stays blocked. True once `index` is published; call again while false.
    struct StallWatch {
        std::uint64_t seen_commit = QUEUE_CAPACITY;
        std::chrono::steady_clock::time_point since{};
    };
    bool finish_publish(std::uint64_t index, const Entry& filler, std::chrono::nanoseconds presumed_dead_after,
                        StallWatch& watch) const;

    // The next published entry, copied out, or none when the queue is empty.
    Result<std::optional<Entry>, QueueError> try_pop() const;

    std::uint64_t reserve_index() const noexcept;
    std::uint64_t commit_index() const noexcept;
    std::uint64_t read_index() const noexcept;

private:
    std::uint64_t* index_cell(std::uint64_t cell) const noexcept;
    std::uint8_t* slot(std::uint64_t index) const noexcept {
        return queue_ + (3 + index) * entry_size;
    }

    std::uint8_t* queue_;
    std::chrono::nanoseconds commit_stall_limit_;
};

using RequestQueue = LockFreeRingBuffer<ShmRequestEntry>;
using ResponseQueue = LockFreeRingBuffer<ShmResponseEntry>;

extern template class LockFreeRingBuffer<ShmRequestEntry>;
extern template class LockFreeRingBuffer<ShmResponseEntry>;

}  // namespace zorvo::shm
