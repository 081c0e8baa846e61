#include "zorvo/shm/ring_buffer.hpp"

#include <atomic>
#include <cstring>
#include <span>

#include "zorvo/shm/cpu_relax.hpp"

namespace zorvo::shm {

namespace {

using Index = std::atomic_ref<std::uint64_t>;

constexpr std::uint64_t advance(std::uint64_t index) noexcept { return (index + 1) % QUEUE_CAPACITY; }

// Clock reads are cheap but not free; the commit spin looks at the time only now and then.
constexpr unsigned kSpinsPerClockCheck = 64;

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
Result<Unit, QueueError> LockFreeRingBuffer<Entry>::push(const Entry& entry) const {
    Index reserve(*index_cell(0));
    Index commit(*index_cell(1));
    Index read(*index_cell(2));

    std::uint64_t cur = 0;
    std::uint64_t next = 0;
    for (;;) {
        cur = reserve.load(std::memory_order_acquire);
        // The indices come from another process: never let one address memory outside the ring.
        if (cur >= capacity) return fail(QueueError::corrupt(cur));
        next = advance(cur);
        const std::uint64_t read_at = read.load(std::memory_order_acquire);
        if (read_at >= capacity) return fail(QueueError::corrupt(read_at));
        if (next == read_at) return fail(QueueError::full());
        if (reserve.compare_exchange_strong(cur, next, std::memory_order_acq_rel,
                                            std::memory_order_acquire)) {
            break;
        }
    }

    entry.encode_into(std::span<std::uint8_t, Entry::SIZE>(slot(cur), Entry::SIZE));

    // Publish in reservation order. A producer that died between reserving and publishing
    // would otherwise keep us here forever, so the wait is bounded.
    const auto started = std::chrono::steady_clock::now();
    for (unsigned spins = 1;; ++spins) {
        std::uint64_t expected = cur;
        if (commit.compare_exchange_weak(expected, next, std::memory_order_release,
                                         std::memory_order_relaxed)) {
            return Unit{};
        }
        cpu_relax();
        if (spins % kSpinsPerClockCheck == 0 &&
            std::chrono::steady_clock::now() - started > commit_stall_limit_) {
            return fail(QueueError::commit_stalled());
        }
    }
}

template <class Entry>
Result<std::optional<Entry>, QueueError> LockFreeRingBuffer<Entry>::try_pop() const {
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
        std::memcpy(copy, slot(r), Entry::SIZE);
        if (read.compare_exchange_strong(r, advance(r), std::memory_order_release,
                                         std::memory_order_relaxed)) {
            return std::optional<Entry>(Entry::decode(std::span<const std::uint8_t, Entry::SIZE>(copy)));
        }
    }
}

template class LockFreeRingBuffer<ShmRequestEntry>;
template class LockFreeRingBuffer<ShmResponseEntry>;

}  // namespace zorvo::shm
