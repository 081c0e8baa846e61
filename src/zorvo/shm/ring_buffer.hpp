#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "zorvo/common/result.hpp"
#include "zorvo/shm/queue_entries.hpp"
#include "zorvo/shm/queue_error.hpp"
#include "zorvo/shm/queue_layout.hpp"

namespace zorvo::shm {

// What a producer tells the clients it shares the queue with, so that an entry whose producer died
// between reserving and publishing can be found and replaced, and what it asks of them while it
// waits behind such an entry.
class PushObserver {
public:
    virtual ~PushObserver() = default;
    // Called before every attempt to reserve `index`, and once the push ends. `still_reserved`:
    // the push gave up waiting with its entry reserved but unpublished.
    virtual void reserving(std::uint64_t index) noexcept = 0;
    virtual void done(bool still_reserved) noexcept = 0;
    // The commit index has stayed at `stuck`, an earlier producer's entry, for a while: publish an
    // empty entry in its place if that producer is provably dead. True when the index moved on.
    virtual bool rescue(std::uint64_t stuck) = 0;
};

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
    // While it waits for earlier producers, the push asks `observer` (if any) now and then to
    // rescue the entry it waits behind.
    Result<Unit, QueueError> push(const Entry& entry, std::uint64_t* stalled_at = nullptr,
                                  PushObserver* observer = nullptr) const;

    // Follows a stalled push: publishes the entry at `index` if every earlier entry is published.
    enum class FollowUp { Published, Waiting, Gone };
    // Gone: `index` no longer lies between the commit and reserve indices, so it is not waiting to
    // be published (the queue was reset); nothing may be done with it any more.
    FollowUp finish_publish(std::uint64_t index) const;

    // Writes `filler` at `index` and publishes it, in place of an entry whose producer is gone.
    // The caller must make sure nobody else can publish `index`. False if commit is not at `index`.
    bool publish_in_place(std::uint64_t index, const Entry& filler) const;

    // The next published entry, copied out, or none when the queue is empty. With `guard`, the pop
    // completes only if the word still holds `guard_value` just before it does.
    Result<std::optional<Entry>, QueueError> try_pop(const std::uint64_t* guard = nullptr,
                                                     std::uint64_t guard_value = 0) const;
    // Whether a published entry is waiting, without taking it.
    bool has_entry() const noexcept;

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
