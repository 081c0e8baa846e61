#include "zorvo/shm/local_waiters.hpp"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <bit>

namespace zorvo::shm {
namespace {

static_assert(PeerTable::CELLS <= 64, "one bit per cell");

std::uint64_t bit(unsigned cell) noexcept { return std::uint64_t{1} << cell; }

}  // namespace

void LocalWaiters::enter(unsigned cell) noexcept {
    std::uint64_t seen = generation_.load(std::memory_order_relaxed);
    if (seen != fork_generation() && generation_.compare_exchange_strong(seen, fork_generation())) [[unlikely]] {
        leader_.store(false, std::memory_order_relaxed);
        waiting_.store(0, std::memory_order_relaxed);
    }
    woken_[cell].store(0, std::memory_order_relaxed);
    waiting_.fetch_or(bit(cell), std::memory_order_acq_rel);
}

void LocalWaiters::leave(unsigned cell) noexcept {
    const std::uint64_t others = waiting_.fetch_and(~bit(cell), std::memory_order_acq_rel) & ~bit(cell);
    // A call woken to take the lead may be leaving instead: another one takes it.
    if (others != 0 && !leader_.load(std::memory_order_acquire)) wake(static_cast<unsigned>(std::countr_zero(others)));
}

bool LocalWaiters::try_lead() noexcept {
    if (leader_.load(std::memory_order_relaxed)) return false;
    return !leader_.exchange(true, std::memory_order_acq_rel);
}

void LocalWaiters::resign(unsigned own_cell) noexcept {
    leader_.store(false, std::memory_order_release);
    // Any waiting call will do: it finds no leader and takes the lead.
    const std::uint64_t others = waiting_.load(std::memory_order_acquire) & ~bit(own_cell);
    if (others != 0) wake(static_cast<unsigned>(std::countr_zero(others)));
}

void LocalWaiters::wake_answered(const PeerTable& peers, unsigned own_cell) noexcept {
    std::uint64_t others = waiting_.load(std::memory_order_acquire) & ~bit(own_cell);
    while (others != 0) {
        const auto cell = static_cast<unsigned>(std::countr_zero(others));
        others &= others - 1;
        if (peers.has_answer(cell) && woken_[cell].load(std::memory_order_relaxed) == 0) wake(cell);
    }
}

void LocalWaiters::wake(unsigned cell) noexcept {
    woken_[cell].store(1, std::memory_order_release);
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&woken_[cell]), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

void LocalWaiters::sleep(unsigned cell, std::chrono::nanoseconds limit) noexcept {
    const timespec timeout{static_cast<time_t>(limit.count() / 1'000'000'000),
                           static_cast<long>(limit.count() % 1'000'000'000)};
    // Returns at once if a wake came since the last sleep; the flag is cleared for the next one.
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&woken_[cell]), FUTEX_WAIT_PRIVATE, 0, &timeout, nullptr, 0);
    woken_[cell].store(0, std::memory_order_relaxed);
}

}  // namespace zorvo::shm
