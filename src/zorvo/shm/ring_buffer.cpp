#include "zorvo/shm/ring_buffer.hpp"

#include <atomic>
#include <cstring>
#include <span>
#include <thread>

#include "zorvo/shm/cpu_relax.hpp"

namespace zorvo::shm {

namespace {

using Index = std::atomic_ref<std::uint64_t>;

constexpr std::uint64_t advance(std::uint64_t index) noexcept { return (index + 1) % QUEUE_CAPACITY; }

// Clock reads are cheap but not free; the commit spin looks at the time only now and then.
constexpr unsigned kSpinsPerClockCheck = 64;

// A consumer may copy a slot that a producer one lap ahead is already rewriting; that copy is
// dropped because the read index has moved on, but the bytes still travel concurrently. They
// move as relaxed atomic words (plain moves on x86-64), so the overlap is well-defined. Slots are
// 8-byte aligned: the queue is, and both entry sizes are multiples of 8.
template <std::size_t N>
void store_slot(std::uint8_t* slot, const std::uint8_t (&bytes)[N]) noexcept {
    static_assert(N % 8 == 0);
    for (std::size_t at = 0; at < N; at += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes + at, 8);
        Index(*reinterpret_cast<std::uint64_t*>(slot + at)).store(word, std::memory_order_relaxed);
    }
}

template <std::size_t N>
void load_slot(const std::uint8_t* slot, std::uint8_t (&bytes)[N]) noexcept {
    static_assert(N % 8 == 0);
    for (std::size_t at = 0; at < N; at += 8) {
        auto* cell = const_cast<std::uint64_t*>(reinterpret_cast<const std::uint64_t*>(slot + at));
        const std::uint64_t word = Index(*cell).load(std::memory_order_relaxed);
        std::memcpy(bytes + at, &word, 8);
    }
}

// After this many pauses the earlier producer is probably not running (more runnable threads
// than processors); yielding lets it finish its publish instead of burning its time slice.
constexpr unsigned kSpinsBeforeYield = 1024;

// A push that waits this long behind an earlier entry asks whether its producer died, and asks
// again at this interval: looking is a scan of the coordination object and a system call or two.
constexpr auto kRescueAfter = std::chrono::milliseconds(2);
constexpr auto kRescueEvery = std::chrono::milliseconds(20);

}  // namespace

template <class Entry>
std::uint64_t* LockFreeRingBuffer<Entry>::index_cell(std::uint64_t cell) const noexcept {
    return reinterpret_cast<std::uint64_t*>(queue_ + cell * entry_size);
}

template <class Entry>
std::uint64_t LockFreeRingBuffer<Entry>::reserve_index() const noexcept {
    return Index(*index_cell(0)).load(std::memory_order_acquire);
}

template <class Entry>
std::uint64_t LockFreeRingBuffer<Entry>::commit_index() const noexcept {
    return Index(*index_cell(1)).load(std::memory_order_acquire);
}

template <class Entry>
std::uint64_t LockFreeRingBuffer<Entry>::read_index() const noexcept {
    return Index(*index_cell(2)).load(std::memory_order_acquire);
}

template <class Entry>
Result<Unit, QueueError> LockFreeRingBuffer<Entry>::push(const Entry& entry, std::uint64_t* stalled_at,
                                                          PushObserver* observer) const {
    Index reserve(*index_cell(0));
    Index commit(*index_cell(1));
    Index read(*index_cell(2));

    struct Done {
        PushObserver* observer;
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
        if (cur >= capacity) return fail(QueueError::corrupt(cur));
        next = advance(cur);
        const std::uint64_t read_at = read.load(std::memory_order_acquire);
        if (read_at >= capacity) return fail(QueueError::corrupt(read_at));
        if (next == read_at) {
            // Full only if nobody reserved in between: otherwise `cur` is stale, and the read
            // index may have caught up with entries reserved and consumed since it was loaded.
            if (reserve.load(std::memory_order_acquire) != cur) continue;
            return fail(QueueError::full());
        }
        if (observer != nullptr) observer->reserving(cur);
        if (reserve.compare_exchange_strong(cur, next, std::memory_order_acq_rel,
                                            std::memory_order_acquire)) {
            break;
        }
    }

    std::uint8_t encoded[Entry::SIZE];
    entry.encode_into(encoded);
    store_slot(slot(cur), encoded);

    // Publish in reservation order. A producer that died between reserving and publishing
    // would otherwise keep us here forever, so the wait is bounded.
    // The clock is read only once the wait is long enough to be checked: an uncontended push
    // publishes on its first attempt.
    std::chrono::steady_clock::time_point started{};
    std::chrono::steady_clock::time_point next_rescue{};
    for (unsigned spins = 1;; ++spins) {
        std::uint64_t expected = cur;
        if (commit.compare_exchange_weak(expected, next, std::memory_order_release,
                                         std::memory_order_relaxed)) {
            return Unit{};
        }
        if (spins < kSpinsBeforeYield) {
            cpu_relax();
        } else {
            std::this_thread::yield();
        }
        if (spins % kSpinsPerClockCheck == 0) {
            const auto now = std::chrono::steady_clock::now();
            if (spins == kSpinsPerClockCheck) {
                started = now;
                next_rescue = now + kRescueAfter;
            } else if (now - started > commit_stall_limit_) {
                if (stalled_at != nullptr) *stalled_at = cur;
                done.still_reserved = true;
                return fail(QueueError::commit_stalled());
            } else if (observer != nullptr && now >= next_rescue) {
                const std::uint64_t stuck = commit.load(std::memory_order_acquire);
                if (stuck < capacity && stuck != cur) observer->rescue(stuck);
                next_rescue = std::chrono::steady_clock::now() + kRescueEvery;
            }
        }
    }
}

template <class Entry>
typename LockFreeRingBuffer<Entry>::FollowUp LockFreeRingBuffer<Entry>::finish_publish(std::uint64_t index) const {
    Index commit(*index_cell(1));
    std::uint64_t committed = commit.load(std::memory_order_acquire);
    const std::uint64_t reserved = reserve_index();
    if (committed >= capacity || reserved >= capacity || index >= capacity) return FollowUp::Gone;
    // Reserved but unpublished entries lie in [commit, reserve), counted round the ring.
    const std::uint64_t pending = (reserved + capacity - committed) % capacity;
    if ((index + capacity - committed) % capacity >= pending) return FollowUp::Gone;
    if (committed != index) return FollowUp::Waiting;
    return commit.compare_exchange_strong(committed, advance(index), std::memory_order_release,
                                          std::memory_order_relaxed)
               ? FollowUp::Published
               : FollowUp::Waiting;
}

template <class Entry>
bool LockFreeRingBuffer<Entry>::publish_in_place(std::uint64_t index, const Entry& filler) const {
    Index commit(*index_cell(1));
    if (index >= capacity || commit.load(std::memory_order_acquire) != index) return false;
    std::uint8_t encoded[Entry::SIZE];
    filler.encode_into(encoded);
    store_slot(slot(index), encoded);
    std::uint64_t expected = index;
    return commit.compare_exchange_strong(expected, advance(index), std::memory_order_release,
                                          std::memory_order_relaxed);
}

template <class Entry>
bool LockFreeRingBuffer<Entry>::has_entry() const noexcept {
    return Index(*index_cell(2)).load(std::memory_order_acquire) != Index(*index_cell(1)).load(std::memory_order_acquire);
}

template <class Entry>
Result<std::optional<Entry>, QueueError> LockFreeRingBuffer<Entry>::try_pop(const std::uint64_t* guard,
                                                                        std::uint64_t guard_value) const {
    Index commit(*index_cell(1));
    Index read(*index_cell(2));

    for (;;) {
        std::uint64_t r = read.load(std::memory_order_acquire);
        if (r >= capacity) return fail(QueueError::corrupt(r));
        const std::uint64_t committed = commit.load(std::memory_order_acquire);
        if (committed >= capacity) return fail(QueueError::corrupt(committed));
        if (r == committed) return std::optional<Entry>();

        // Copy before moving the read index: once it moves, a producer may reuse the slot.
        std::uint8_t copy[Entry::SIZE];
        load_slot(slot(r), copy);
        if (guard != nullptr &&
            Index(*const_cast<std::uint64_t*>(guard)).load(std::memory_order_acquire) != guard_value) {
            return std::optional<Entry>();
        }
        if (read.compare_exchange_strong(r, advance(r), std::memory_order_release,
                                         std::memory_order_relaxed)) {
            return std::optional<Entry>(Entry::decode(std::span<const std::uint8_t, Entry::SIZE>(copy)));
        }
    }
}

template class LockFreeRingBuffer<ShmRequestEntry>;
template class LockFreeRingBuffer<ShmResponseEntry>;

}  // namespace zorvo::shm
