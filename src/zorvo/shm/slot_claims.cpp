#include "zorvo/shm/slot_claims.hpp"

#include <atomic>

namespace zorvo::shm {

namespace {

using Word = std::atomic_ref<std::uint64_t>;

constexpr std::uint64_t kLeaseMask = REQUEST_COUNTER_MASK;
using layout::lease_units;

}  // namespace

std::optional<std::uint64_t> SlotClaims::try_claim(std::uint64_t index, std::chrono::steady_clock::time_point now,
                                                   std::chrono::steady_clock::time_point lease_end) const {
    Word word(words_[index]);
    std::uint64_t seen = word.load(std::memory_order_acquire);
    if (seen != 0 && (seen & kLeaseMask) > lease_units(now)) return std::nullopt;
    const std::uint64_t mine = (tag_ << REQUEST_COUNTER_BITS) | lease_units(lease_end);
    if (!word.compare_exchange_strong(seen, mine, std::memory_order_acq_rel)) return std::nullopt;
    return mine;
}

void SlotClaims::release(std::uint64_t index, std::uint64_t word) const noexcept {
    Word(words_[index]).compare_exchange_strong(word, 0, std::memory_order_acq_rel);
}

std::optional<std::uint64_t> SlotClaims::renew(std::uint64_t index, std::uint64_t word,
                                               std::chrono::steady_clock::time_point lease_end) const {
    const std::uint64_t renewed = (tag_ << REQUEST_COUNTER_BITS) | lease_units(lease_end);
    if (!Word(words_[index]).compare_exchange_strong(word, renewed, std::memory_order_acq_rel)) return std::nullopt;
    return renewed;
}

bool SlotClaims::holds(std::uint64_t index, std::uint64_t word) const noexcept {
    return Word(words_[index]).load(std::memory_order_acquire) == word;
}

}  // namespace zorvo::shm
