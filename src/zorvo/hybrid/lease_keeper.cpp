#include "zorvo/hybrid/lease_keeper.hpp"

namespace zorvo::hybrid {

LeaseKeeper::Hold::~Hold() {
    std::lock_guard lock(keeper_->mutex_);
    keeper_->waiting_.erase(entry_);
}

LeaseKeeper::Hold LeaseKeeper::hold(shm::TieredShmAllocator& allocator, std::uint64_t claim_index) {
    std::lock_guard lock(mutex_);
    waiting_.emplace_front(&allocator, claim_index);
    return Hold(*this, waiting_.begin());
}

void LeaseKeeper::renew_all() {
    std::lock_guard lock(mutex_);
    for (const auto& [allocator, claim_index] : waiting_) allocator->renew(claim_index);
}

Task<void> LeaseKeeper::run(Runtime& runtime, std::shared_ptr<LeaseKeeper> keeper, std::chrono::nanoseconds lease) {
    for (;;) {
        co_await runtime.sleep_for(lease / 3);
        keeper->renew_all();
    }
}

}  // namespace zorvo::hybrid
