#include "zorvo/shm/slot_claims.hpp"

#include <atomic>

namespace zorvo::shm {

std::optional<std::uint64_t> SlotClaims::renew(std::uint64_t index, std::uint64_t word,
                                               std::chrono::steady_clock::time_point lease_end) const {
    const std::uint64_t renewed = (tag_ << REQUEST_COUNTER_BITS) | layout::lease_units(lease_end);
    if (!Word(words_[index]).compare_exchange_strong(word, renewed, std::memory_order_acq_rel)) return std::nullopt;
    return renewed;
}

}  // namespace zorvo::shm
