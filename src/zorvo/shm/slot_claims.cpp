#include "zorvo/shm/slot_claims.hpp"

#include <atomic>

namespace zorvo::shm {

namespace {

using Word = std::atomic_ref<std::uint64_t>;

constexpr std::uint64_t kLeaseMask = REQUEST_COUNTER_MASK;

// Both ends round down, so a claim never outlives the client's own lease of the slot.
std::uint64_t milliseconds(std::chrono::steady_clock::time_point at) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch());
    if (ms.count() < 0) return 0;
    return std::min<std::uint64_t>(static_cast<std::uint64_t>(ms.count()), kLeaseMask);
}

}  // namespace

std::optional<std::uint64_t> SlotClaims::try_claim(std::uint64_t index, std::chrono::steady_clock::time_point now,
                                                   std::chrono::steady_clock::time_point lease_end) const {
    Word word(words_[index]);
    std::uint64_t seen = word.load(std::memory_order_acquire);
    if (seen != 0 && (seen & kLeaseMask) > milliseconds(now)) return std::nullopt;
    const std::uint64_t mine = (tag_ << REQUEST_COUNTER_BITS) | milliseconds(lease_end);
    if (!word.compare_exchange_strong(seen, mine, std::memory_order_acq_rel)) return std::nullopt;
    return mine;
}

void SlotClaims::release(std::uint64_t index, std::uint64_t word) const noexcept {
    Word(words_[index]).compare_exchange_strong(word, 0, std::memory_order_acq_rel);
}

}  // namespace zorvo::shm
