#include "zorvo/shm/ring_buffer.hpp"

#include <thread>

#include "zorvo/shm/cpu_relax.hpp"

namespace zorvo::shm {

namespace {

using ring_detail::advance;
using ring_detail::Index;

// Clock reads are cheap but not free; the commit spin looks at the time only now and then.
constexpr unsigned kSpinsPerClockCheck = 64;

// After this many pauses the earlier producer is probably not running (more runnable threads
// than processors); yielding lets it finish its publish instead of burning its time slice.
constexpr unsigned kSpinsBeforeYield = 1024;

// A push that waits this long behind an earlier entry asks whether its producer died, and asks
// again at this interval: looking is a scan of the coordination object and a system call or two.
constexpr auto kRescueAfter = std::chrono::milliseconds(2);
constexpr auto kRescueEvery = std::chrono::milliseconds(20);

}  // namespace

template <class Entry>
Result<Unit, QueueError> LockFreeRingBuffer<Entry>::publish_in_order(std::uint64_t cur, std::uint64_t* stalled_at,
                                                                     Rescuer rescuer) const {
    Index commit(*index_cell(1));
    const std::uint64_t next = advance(cur);
    // A producer that died between reserving and publishing would otherwise keep us here forever,
    // so the wait is bounded. The clock is read only once the wait is long enough to be checked.
    std::chrono::steady_clock::time_point started{};
    std::chrono::steady_clock::time_point next_rescue{};
    for (unsigned spins = 1;; ++spins) {
        if (spins < kSpinsBeforeYield) {
            cpu_relax();
        } else {
            std::this_thread::yield();
        }
        std::uint64_t expected = cur;
        if (commit.compare_exchange_weak(expected, next, std::memory_order_release, std::memory_order_relaxed)) {
            return Unit{};
        }
        if (spins % kSpinsPerClockCheck == 0) {
            const auto now = std::chrono::steady_clock::now();
            if (spins == kSpinsPerClockCheck) {
                started = now;
                next_rescue = now + kRescueAfter;
            } else if (now - started > commit_stall_limit_) {
                if (stalled_at != nullptr) *stalled_at = cur;
                return fail(QueueError::commit_stalled());
            } else if (rescuer.call != nullptr && now >= next_rescue) {
                const std::uint64_t stuck = commit.load(std::memory_order_acquire);
                if (stuck < capacity && stuck != cur) rescuer.call(rescuer.observer, stuck);
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
    ring_detail::store_slot(slot(index), encoded);
    std::uint64_t expected = index;
    return commit.compare_exchange_strong(expected, advance(index), std::memory_order_release,
                                          std::memory_order_relaxed);
}

template class LockFreeRingBuffer<ShmRequestEntry>;
template class LockFreeRingBuffer<ShmResponseEntry>;

}  // namespace zorvo::shm
