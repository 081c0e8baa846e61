#include "zorvo/shm/simple_allocator.hpp"

#include <algorithm>
#include <utility>

namespace zorvo::shm {

namespace {

LeaseClock::time_point lease_end(LeaseClock::time_point now, std::chrono::nanoseconds lease) {
    // A lease longer than the clock can express simply never runs out.
    if (lease > LeaseClock::time_point::max() - now) return LeaseClock::time_point::max();
    return now + std::chrono::duration_cast<LeaseClock::duration>(lease);
}

}  // namespace

SimpleShmAllocator::SimpleShmAllocator(std::uint64_t base_offset, std::uint64_t slot_size,
                                       std::uint64_t slot_count, std::chrono::nanoseconds lease)
    : base_offset_(base_offset),
      slot_size_(std::max<std::uint64_t>(slot_size, 1)),
      slot_count_(std::max<std::uint64_t>(slot_count, 1)),
      lease_(std::max(lease, std::chrono::nanoseconds::zero())),
      table_(std::make_unique<SlotTable>()) {
    table_->expiry.assign(slot_count_, LeaseClock::time_point::min());
}

std::optional<std::uint64_t> SimpleShmAllocator::try_allocate(std::uint64_t size) {
    if (size == 0 || size > slot_size_) return std::nullopt;
    const auto now = LeaseClock::now();
    // Consecutive searches start at consecutive slots, spreading leases round the class.
    const std::uint64_t start =
        table_->next_slot.fetch_add(1, std::memory_order_relaxed) % slot_count_;

    std::lock_guard lock(table_->mutex);
    for (std::uint64_t k = 0; k < slot_count_; ++k) {
        const std::uint64_t index = (start + k) % slot_count_;
        if (take(index, now)) return base_offset_ + index * slot_size_;
    }
    return std::nullopt;
}

bool SimpleShmAllocator::take(std::uint64_t index, LeaseClock::time_point now) {
    auto& expiry = table_->expiry[index];
    if (expiry > now) return false;
    const auto end = lease_end(now, lease_);
    if (table_->claims) {
        const auto word = table_->claims->try_claim(index, now, end);
        if (!word) return false;
        table_->claimed[index] = *word;
    }
    expiry = end;
    return true;
}

void SimpleShmAllocator::share(SlotClaims claims) {
    std::lock_guard lock(table_->mutex);
    table_->claims = claims;
    table_->claimed.assign(slot_count_, 0);
}

bool SimpleShmAllocator::release(std::uint64_t offset) {
    if (offset < base_offset_) return false;
    const std::uint64_t distance = offset - base_offset_;
    if (distance % slot_size_ != 0) return false;
    const std::uint64_t index = distance / slot_size_;
    if (index >= slot_count_) return false;

    std::lock_guard lock(table_->mutex);
    table_->expiry[index] = LeaseClock::time_point::min();
    if (table_->claims) table_->claims->release(index, std::exchange(table_->claimed[index], 0));
    return true;
}

}  // namespace zorvo::shm
