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
    bool holds(std::uint64_t index) const;
    // The slot's index in this class, or none when no slot starts at `offset`.
    std::optional<std::uint64_t> slot_index(std::uint64_t offset) const noexcept;

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
    std::chrono::nanoseconds lease_;
    std::unique_ptr<SlotTable> table_;
};

}  // namespace zorvo::shm
