#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "zorvo/shm/simple_allocator.hpp"

namespace zorvo::shm {

// What a client needs from the process-local allocator over the region's tensor pool.
class ShmPoolAllocator {
public:
    virtual ~ShmPoolAllocator() = default;
    virtual std::optional<std::uint64_t> try_allocate(std::uint64_t size) = 0;
    virtual bool release(std::uint64_t offset) = 0;
    virtual std::uint64_t largest_slot_size() const = 0;
    virtual std::string layout_summary() const = 0;
};

// The message a client gives when no slot of `required` bytes can be had.
std::string pool_exhausted_message(std::uint64_t required, const ShmPoolAllocator& allocator);

// How long a client's slot stays leased when it is never released.
inline constexpr std::chrono::seconds SLOT_LEASE{30};

// One requested size class: `weight` is its share of the pool left after every class got a slot.
struct ClassBudget {
    std::uint64_t slot_size = 0;
    std::uint32_t weight = 0;
};

// One carved size class of the tiered allocator.
struct ShmAllocatorClass {
    std::string name;  // "class" + index in the sorted budget list
    SimpleShmAllocator allocator;
    std::uint64_t base_offset;
    std::uint64_t slot_size;
    std::uint64_t slot_count;
    std::uint64_t total_bytes;  // slot_count * slot_size, saturating
};

// The tensor pool carved once into size classes laid out back to back; allocation takes the
// smallest class that fits and falls back to larger ones.
class TieredShmAllocator final : public ShmPoolAllocator {
public:
    static constexpr std::uint64_t DEFAULT_CLASS_SIZES[] = {262144, 1048576, 4194304, 16777216,
                                                            67108864};

    static TieredShmAllocator new_with_class_budgets(std::uint64_t pool_offset,
                                                     std::uint64_t pool_size,
                                                     std::span<const ClassBudget> budgets,
                                                     std::chrono::nanoseconds lease);
    static TieredShmAllocator new_with_default_classes(std::uint64_t pool_offset,
                                                       std::uint64_t pool_size,
                                                       std::chrono::nanoseconds lease);

    std::optional<std::uint64_t> try_allocate(std::uint64_t size) override;
    bool release(std::uint64_t offset) override;
    std::uint64_t largest_slot_size() const override;
    // "class0(base=4096 slot_size=262144 slots=4), class1(...)".
    std::string layout_summary() const override;

    std::span<const ShmAllocatorClass> classes() const noexcept { return classes_; }
    std::uint64_t slot_count() const noexcept;

    // Leases only slots that can also be claimed in `claims`, one word per slot of every class in
    // order; see SimpleShmAllocator::share. When every slot is claimed, `peers` is asked to free
    // the slots of dead clients that are provably unused before the pool counts as exhausted.
    void share(SlotClaims claims, const PeerTable* peers = nullptr);

    // A leased slot: its region offset and its index among all classes' slots (its claim word's).
    struct Claimed {
        std::uint64_t offset;
        std::uint64_t index;
    };
    std::optional<Claimed> claim(std::uint64_t size) {
        if (auto claimed = claim_once(size)) return claimed;
        return claim_after_reclaim(size);
    }

    // See SimpleShmAllocator; by the slot's index among all classes' slots.
    bool renew(std::uint64_t claim_index);
    bool holds(std::uint64_t claim_index) const noexcept {
        const auto [c, index] = class_of(claim_index);
        return c != nullptr && c->allocator.holds(index);
    }

private:
    explicit TieredShmAllocator(std::vector<ShmAllocatorClass> classes)
        : classes_(std::move(classes)) {}

    std::optional<Claimed> claim_once(std::uint64_t size);
    // Dead clients' slots that nobody will use again come back before the pool counts as full.
    std::optional<Claimed> claim_after_reclaim(std::uint64_t size);
    // The class holding slot `claim_index`, and the slot's index in it.
    std::pair<ShmAllocatorClass*, std::uint64_t> class_of(std::uint64_t claim_index) const noexcept {
        for (const ShmAllocatorClass& c : classes_) {
            if (claim_index < c.slot_count) return {const_cast<ShmAllocatorClass*>(&c), claim_index};
            claim_index -= c.slot_count;
        }
        return {nullptr, 0};
    }

    std::vector<ShmAllocatorClass> classes_;
    const PeerTable* peers_ = nullptr;
};

}  // namespace zorvo::shm
