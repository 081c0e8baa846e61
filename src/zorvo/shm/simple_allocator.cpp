#include "zorvo/shm/simple_allocator.hpp"

#include <algorithm>
#include <bit>

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
      slot_shift_(std::has_single_bit(slot_size_) ? std::countr_zero(slot_size_) : -1),
      lease_(std::max(lease, std::chrono::nanoseconds::zero())),
      table_(std::make_unique<SlotTable>()) {
    table_->expiry.assign(slot_count_, LeaseClock::time_point::min());
}

std::optional<std::uint64_t> SimpleShmAllocator::try_allocate(std::uint64_t size) {
    const auto index = try_allocate_index(size);
    if (!index) return std::nullopt;
    return base_offset_ + *index * slot_size_;
}

std::optional<std::uint64_t> SimpleShmAllocator::try_allocate_index(std::uint64_t size) {
    if (size == 0 || size > slot_size_) return std::nullopt;
    const auto now = LeaseClock::now();
    // Consecutive searches start at consecutive slots, spreading leases round the class. Only a
    // hint: threads that race on it start at the same slot, and its claim decides between them.
    // A locked increment, or a remainder, would cost more than the claim itself.
    const std::uint64_t start = table_->next_slot.load(std::memory_order_relaxed);
    table_->next_slot.store(start + 1 == slot_count_ ? 0 : start + 1, std::memory_order_relaxed);
    const auto wrap = [this](std::uint64_t index) { return index >= slot_count_ ? index - slot_count_ : index; };

    const auto end = lease_end(now, lease_);
    if (table_->claims) {
        // The shared claim words are the whole lease state: a compare-and-swap decides each slot,
        // between the threads of this process as between processes.
        for (std::uint64_t k = 0; k < slot_count_; ++k) {
            const std::uint64_t index = wrap(start + k);
            if (const auto word = table_->claims->try_claim(index, now, end)) {
                table_->claimed[index].store(*word, std::memory_order_relaxed);
                return index;
            }
        }
        return std::nullopt;
    }

    std::lock_guard lock(table_->mutex);
    for (std::uint64_t k = 0; k < slot_count_; ++k) {
        const std::uint64_t index = wrap(start + k);
        auto& expiry = table_->expiry[index];
        if (expiry <= now) {
            expiry = end;
            return index;
        }
    }
    return std::nullopt;
}

void SimpleShmAllocator::share(SlotClaims claims) {
    table_->claims = claims;
    table_->claimed = std::make_unique<std::atomic<std::uint64_t>[]>(slot_count_);
}

bool SimpleShmAllocator::renew(std::uint64_t index) {
    if (index >= slot_count_) return false;
    const auto end = lease_end(LeaseClock::now(), lease_);
    if (table_->claims) {
        std::atomic<std::uint64_t>& held = table_->claimed[index];
        const auto renewed = table_->claims->renew(index, held.load(std::memory_order_relaxed), end);
        if (!renewed) return false;
        held.store(*renewed, std::memory_order_relaxed);
        return true;
    }
    std::lock_guard lock(table_->mutex);
    table_->expiry[index] = end;
    return true;
}

bool SimpleShmAllocator::release(std::uint64_t offset) {
    const auto found = slot_index(offset);
    if (!found) return false;
    const std::uint64_t index = *found;

    if (table_->claims) {
        // Only the slot's holder releases it, so the word it claimed with is its own to read.
        table_->claims->release(index, table_->claimed[index].load(std::memory_order_relaxed));
        return true;
    }
    std::lock_guard lock(table_->mutex);
    table_->expiry[index] = LeaseClock::time_point::min();
    return true;
}

}  // namespace zorvo::shm
