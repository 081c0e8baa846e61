#include "zorvo/shm/slot_claims.hpp"

#include <atomic>

namespace zorvo::shm {

namespace {

using Word = std::atomic_ref<std::uint64_t>;

constexpr std::uint64_t kLeaseMask = REQUEST_COUNTER_MASK;

std::uint64_t milliseconds(std::chrono::steady_clock::time_point at, bool round_up) {
    const auto since = at.time_since_epoch();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since);
    if (round_up && ms < since) ++ms;
    if (ms.count() < 0) return 0;
    return std::min<std::uint64_t>(static_cast<std::uint64_t>(ms.count()), kLeaseMask);
}

}  // namespace

std::optional<std::uint64_t> SlotClaims::try_claim(std::uint64_t index, std::chrono::steady_clock::time_point now,
                                                   std::chrono::steady_clock::time_point lease_end,
                                                   bool ask_owners) const {
    Word word(words_[index]);
    std::uint64_t seen = word.load(std::memory_order_acquire);
    const std::uint64_t holder = seen >> REQUEST_COUNTER_BITS;
    // Free, expired, or a claim of this very client that its own lease table has already let go.
    bool takeable = seen == 0 || holder == tag_ || (seen & kLeaseMask) <= milliseconds(now, false);
    if (!takeable && ask_owners) takeable = !peers_->is_alive(static_cast<std::uint32_t>(holder - 1));
    if (!takeable) return std::nullopt;
    const std::uint64_t mine = (tag_ << REQUEST_COUNTER_BITS) | milliseconds(lease_end, true);
    if (!word.compare_exchange_strong(seen, mine, std::memory_order_acq_rel)) return std::nullopt;
    return mine;
}

void SlotClaims::release(std::uint64_t index, std::uint64_t word) const noexcept {
    Word(words_[index]).compare_exchange_strong(word, 0, std::memory_order_acq_rel);
}

}  // namespace zorvo::shm
