#pragma once

#include <atomic>
#include <chrono>
#include <concepts>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <type_traits>

#include "zorvo/common/result.hpp"
#include "zorvo/shm/queue_entries.hpp"
#include "zorvo/shm/queue_error.hpp"
#include "zorvo/shm/queue_layout.hpp"

namespace zorvo::shm {

// What a producer tells the clients it shares the queue with, so that an entry whose producer died
// between reserving and publishing can be found and replaced, and what it asks of them while it
// waits behind such an entry. A type with these members; the push is compiled for it, so that what
// every push tells costs no indirect call.
// - reserving(index): before every attempt to reserve `index`;
// - done(still_reserved): once the push ends; `still_reserved`: it gave up waiting with its entry
//   reserved but unpublished;
// - rescue(stuck): the commit index has stayed at `stuck`, an earlier producer's entry, for a
//   while: publish an empty entry in its place if that producer is provably dead. True when the
//   index moved on.
template <class T>
concept PushObserver = requires(T& observer, std::uint64_t index, bool still_reserved) {
    { observer.reserving(index) } noexcept;
    { observer.done(still_reserved) } noexcept;
    { observer.rescue(index) } -> std::same_as<bool>;
};

// A push that tells nobody.
// What try_pop does with an entry before the pop completes, by default.
struct NothingBeforePop {};

struct NoPushObserver {
    void reserving(std::uint64_t) noexcept {}
    void done(bool) noexcept {}
    bool rescue(std::uint64_t) { return false; }
};

namespace ring_detail {

using Index = std::atomic_ref<std::uint64_t>;

// Of an index already checked to lie in the ring: a compare where a remainder would cost a
// multiply and shifts on every push and pop.
constexpr std::uint64_t advance(std::uint64_t index) noexcept { return index + 1 == QUEUE_CAPACITY ? 0 : index + 1; }

// A consumer may copy a slot that a producer one lap ahead is already rewriting; that copy is
// dropped because the read index has moved on, but the bytes still travel concurrently. They
// move as relaxed atomic words (plain moves on x86-64), so the overlap is well-defined. Slots are
// 8-byte aligned: the queue is, and both entry sizes are multiples of 8.
template <std::size_t N>
inline void store_slot(std::uint8_t* slot, const std::uint8_t (&bytes)[N]) noexcept {
    static_assert(N % 8 == 0);
#pragma GCC unroll 8
    for (std::size_t at = 0; at < N; at += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes + at, 8);
        Index(*reinterpret_cast<std::uint64_t*>(slot + at)).store(word, std::memory_order_relaxed);
    }
}

template <std::size_t N>
inline void load_slot(const std::uint8_t* slot, std::uint8_t (&bytes)[N]) noexcept {
    static_assert(N % 8 == 0);
#pragma GCC unroll 8
    for (std::size_t at = 0; at < N; at += 8) {
        auto* cell = const_cast<std::uint64_t*>(reinterpret_cast<const std::uint64_t*>(slot + at));
        const std::uint64_t word = Index(*cell).load(std::memory_order_relaxed);
        std::memcpy(bytes + at, &word, 8);
    }
}

}  // namespace ring_detail

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
    template <PushObserver Observer = NoPushObserver>
    Result<Unit, QueueError> push(const Entry& entry, std::uint64_t* stalled_at = nullptr,
                                  Observer* observer = nullptr) const;

    // Follows a stalled push: publishes the entry at `index` if every earlier entry is published.
    enum class FollowUp { Published, Waiting, Gone };
    // Gone: `index` no longer lies between the commit and reserve indices, so it is not waiting to
    // be published (the queue was reset); nothing may be done with it any more.
    FollowUp finish_publish(std::uint64_t index) const;

    // Writes `filler` at `index` and publishes it, in place of an entry whose producer is gone.
    // The caller must make sure nobody else can publish `index`. False if commit is not at `index`.
    bool publish_in_place(std::uint64_t index, const Entry& filler) const;

    // The next published entry, copied out, or none when the queue is empty. With `guard`, the pop
    // completes only if the word still holds `guard_value` just before it does. `before_pop` is
    // given the copy just before the pop completes (again for each retry): what it does with the
    // entry is done before anyone can see the entry gone, should this process die in between.
    template <class BeforePop = NothingBeforePop>
    Result<std::optional<Entry>, QueueError> try_pop(const std::uint64_t* guard = nullptr,
                                                     std::uint64_t guard_value = 0,
                                                     const BeforePop& before_pop = {}) const;
    // Whether a published entry is waiting, without taking it.
    bool has_entry() const noexcept {
        return ring_detail::Index(*index_cell(2)).load(std::memory_order_acquire) !=
               ring_detail::Index(*index_cell(1)).load(std::memory_order_acquire);
    }

    std::uint64_t reserve_index() const noexcept {
        return ring_detail::Index(*index_cell(0)).load(std::memory_order_acquire);
    }
    std::uint64_t commit_index() const noexcept {
        return ring_detail::Index(*index_cell(1)).load(std::memory_order_acquire);
    }
    std::uint64_t read_index() const noexcept {
        return ring_detail::Index(*index_cell(2)).load(std::memory_order_acquire);
    }

private:
    // The waiting part of a push whose entry at `cur` is written but could not be published at
    // once: publishes it in reservation order, asking `rescue` (if any) now and then to replace a
    // dead producer's entry it waits behind. Fails with CommitStalled after the stall limit.
    struct Rescuer {
        bool (*call)(void* observer, std::uint64_t stuck);
        void* observer;
    };
    Result<Unit, QueueError> publish_in_order(std::uint64_t cur, std::uint64_t* stalled_at, Rescuer rescuer) const;

    std::uint64_t* index_cell(std::uint64_t cell) const noexcept {
        return reinterpret_cast<std::uint64_t*>(queue_ + cell * entry_size);
    }
    std::uint8_t* slot(std::uint64_t index) const noexcept {
        return queue_ + (3 + index) * entry_size;
    }

    std::uint8_t* queue_;
    std::chrono::nanoseconds commit_stall_limit_;
};

// The reservation and the first attempt to publish are inline: an uncontended push does nothing
// more, and tells its observer without an indirect call.
template <class Entry>
template <PushObserver Observer>
inline Result<Unit, QueueError> LockFreeRingBuffer<Entry>::push(const Entry& entry, std::uint64_t* stalled_at,
                                                          Observer* observer) const {
    using ring_detail::Index;
    Index reserve(*index_cell(0));
    Index commit(*index_cell(1));
    Index read(*index_cell(2));

    struct Done {
        Observer* observer;
        bool still_reserved = false;
        ~Done() {
            if (observer != nullptr) observer->done(still_reserved);
        }
    } done{observer};

    std::uint64_t cur = 0;
    std::uint64_t next = 0;
    for (;;) {
        cur = reserve.load(std::memory_order_acquire);
        // The indices come from another process: never let one address memory outside the ring.
        if (cur >= capacity) [[unlikely]] return fail(QueueError::corrupt(cur));
        next = ring_detail::advance(cur);
        const std::uint64_t read_at = read.load(std::memory_order_acquire);
        if (read_at >= capacity) [[unlikely]] return fail(QueueError::corrupt(read_at));
        if (next == read_at) [[unlikely]] {
            // Full only if nobody reserved in between: otherwise `cur` is stale, and the read
            // index may have caught up with entries reserved and consumed since it was loaded.
            if (reserve.load(std::memory_order_acquire) != cur) continue;
            return fail(QueueError::full());
        }
        if (observer != nullptr) observer->reserving(cur);
        if (reserve.compare_exchange_strong(cur, next, std::memory_order_acq_rel, std::memory_order_acquire)) {
            break;
        }
    }

    std::uint8_t encoded[Entry::SIZE];
    entry.encode_into(encoded);
    ring_detail::store_slot(slot(cur), encoded);

    // Publish in reservation order; an uncontended push publishes on its first attempt.
    std::uint64_t expected = cur;
    if (commit.compare_exchange_strong(expected, next, std::memory_order_release, std::memory_order_relaxed)) {
        return Unit{};
    }
    Rescuer rescuer{nullptr, observer};
    if (observer != nullptr) {
        rescuer.call = [](void* self, std::uint64_t stuck) { return static_cast<Observer*>(self)->rescue(stuck); };
    }
    auto published = publish_in_order(cur, stalled_at, rescuer);
    done.still_reserved = !published.ok();
    return published;
}

template <class Entry>
template <class BeforePop>
inline Result<std::optional<Entry>, QueueError> LockFreeRingBuffer<Entry>::try_pop(const std::uint64_t* guard,
                                                                            std::uint64_t guard_value,
                                                                            const BeforePop& before_pop) const {
    using ring_detail::Index;
    Index commit(*index_cell(1));
    Index read(*index_cell(2));

    for (;;) {
        std::uint64_t r = read.load(std::memory_order_acquire);
        if (r >= capacity) [[unlikely]] return fail(QueueError::corrupt(r));
        const std::uint64_t committed = commit.load(std::memory_order_acquire);
        if (committed >= capacity) [[unlikely]] return fail(QueueError::corrupt(committed));
        if (r == committed) return std::optional<Entry>();

        // Copy before moving the read index: once it moves, a producer may reuse the slot.
        std::uint8_t copy[Entry::SIZE];
        ring_detail::load_slot(slot(r), copy);
        const auto guarded = [&] {
            return guard == nullptr ||
                   Index(*const_cast<std::uint64_t*>(guard)).load(std::memory_order_acquire) == guard_value;
        };
        if (!guarded()) return std::optional<Entry>();
        const Entry entry = Entry::decode(std::span<const std::uint8_t, Entry::SIZE>(copy));
        if constexpr (!std::is_same_v<BeforePop, NothingBeforePop>) {
            before_pop(entry);
            // Checked again right before the pop: this process may have been stopped meanwhile.
            if (!guarded()) return std::optional<Entry>();
        }
        if (read.compare_exchange_strong(r, ring_detail::advance(r), std::memory_order_release,
                                         std::memory_order_relaxed)) {
            return std::optional<Entry>(entry);
        }
    }
}

using RequestQueue = LockFreeRingBuffer<ShmRequestEntry>;
using ResponseQueue = LockFreeRingBuffer<ShmResponseEntry>;

extern template class LockFreeRingBuffer<ShmRequestEntry>;
extern template class LockFreeRingBuffer<ShmResponseEntry>;

}  // namespace zorvo::shm
