#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "zorvo/shm/slot_claims.hpp"

namespace zorvo::shm {

using LeaseClock = std::chrono::steady_clock;

// Equal-sized slots of one size class, handed out as leases: a slot that is never released
// becomes usable again once its lease has run out.
class SimpleShmAllocator {
public:
    // `slot_size` and `slot_count` are raised to at least 1.
    SimpleShmAllocator(std::uint64_t base_offset, std::uint64_t slot_size, std::uint64_t slot_count,
                       std::chrono::nanoseconds lease);

    // The region offset of a leased slot, or none when `size` is 0, exceeds the slot size, or
    // every slot is leased.
    std::optional<std::uint64_t> try_allocate(std::uint64_t size);
    // The same, giving the slot's index in this class.
    std::optional<std::uint64_t> try_allocate_index(std::uint64_t size);

    // Frees the slot starting at `offset`; false when no slot starts there.
    bool release(std::uint64_t offset);

    // Extends the lease of the held slot of index `index` by a whole lease from now; false when the
    // slot is no longer held (its lease ran out and another client took it).
    bool renew(std::uint64_t index);
    // Whether the slot of index `index` is still held: false once another client took it.
    bool holds(std::uint64_t index) const noexcept {
        if (index >= slot_count_) return false;
        if (table_->claims) {
            return table_->claims->holds(index, table_->claimed[index].load(std::memory_order_relaxed));
        }
        return true;  // a process-local lease is never taken by anyone else
    }
    // The slot's index in this class, or none when no slot starts at `offset`.
    std::optional<std::uint64_t> slot_index(std::uint64_t offset) const noexcept {
        if (offset < base_offset_) return std::nullopt;
        const std::uint64_t distance = offset - base_offset_;
        std::uint64_t index;
        if (slot_shift_ >= 0) {
            // Slot sizes are mostly powers of two: a shift, where a division takes tens of cycles.
            if ((distance & (slot_size_ - 1)) != 0) return std::nullopt;
            index = distance >> slot_shift_;
        } else {
            if (distance % slot_size_ != 0) return std::nullopt;
            index = distance / slot_size_;
        }
        if (index >= slot_count_) return std::nullopt;
        return index;
    }

    // From now on slots are leased in `claims`, the shared words of this class's slots, so that
    // other clients of the region never get one at the same time. Called once, before any lease.
    void share(SlotClaims claims);

    std::uint64_t base_offset() const noexcept { return base_offset_; }
    std::uint64_t slot_size() const noexcept { return slot_size_; }
    std::uint64_t slot_count() const noexcept { return slot_count_; }

private:
    // Kept behind a pointer so the allocator stays movable while its lock stays put.
    struct SlotTable {
        std::mutex mutex;
        // Lease expiry per slot; a free slot holds the clock's minimum, so "free or expired"
        // is a single comparison with now.
        std::vector<LeaseClock::time_point> expiry;
        std::atomic<std::uint64_t> next_slot{0};
        // Once shared: the claim words, and the word written for each slot this allocator holds.
        std::optional<SlotClaims> claims;
        std::unique_ptr<std::atomic<std::uint64_t>[]> claimed;
    };

    std::uint64_t base_offset_;
    std::uint64_t slot_size_;
    std::uint64_t slot_count_;
    int slot_shift_;  // log2 of the slot size when that is a power of two, else -1
    std::chrono::nanoseconds lease_;
    std::unique_ptr<SlotTable> table_;
};

}  // namespace zorvo::shm
