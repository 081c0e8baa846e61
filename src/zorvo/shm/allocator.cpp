#include "zorvo/shm/allocator.hpp"

#include <algorithm>
#include <limits>

namespace zorvo::shm {

namespace {

constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) { return b > kMax64 - a ? kMax64 : a + b; }

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
    return (a != 0 && b > kMax64 / a) ? kMax64 : a * b;
}

// Drops empty budgets, sorts by slot size and merges equal sizes (weights saturating).
std::vector<ClassBudget> normalise(std::span<const ClassBudget> budgets, std::uint64_t pool_size) {
    std::vector<ClassBudget> sorted;
    for (const ClassBudget& budget : budgets) {
        if (budget.slot_size != 0 && budget.weight != 0) sorted.push_back(budget);
    }
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const ClassBudget& a, const ClassBudget& b) { return a.slot_size < b.slot_size; });
    std::vector<ClassBudget> merged;
    for (const ClassBudget& budget : sorted) {
        if (!merged.empty() && merged.back().slot_size == budget.slot_size) {
            const std::uint64_t sum = std::uint64_t{merged.back().weight} + budget.weight;
            merged.back().weight =
                static_cast<std::uint32_t>(std::min<std::uint64_t>(sum, std::numeric_limits<std::uint32_t>::max()));
        } else {
            merged.push_back(budget);
        }
    }
    if (merged.empty()) merged.push_back({std::max<std::uint64_t>(pool_size, 1), 1});
    return merged;
}

// Slot counts per class: one each while they fit, then a smooth weighted round robin over
// whatever remains.
std::vector<std::uint64_t> carve(const std::vector<ClassBudget>& budgets, std::uint64_t pool_size) {
    std::vector<std::uint64_t> counts(budgets.size(), 0);
    std::uint64_t remaining = pool_size;
    for (std::size_t i = 0; i < budgets.size(); ++i) {
        if (remaining >= budgets[i].slot_size) {
            counts[i] = 1;
            remaining -= budgets[i].slot_size;
        }
    }

    std::uint64_t weight_sum = 0;
    for (const ClassBudget& budget : budgets) weight_sum += budget.weight;
    const auto total_weight = static_cast<std::int64_t>(std::max<std::uint64_t>(weight_sum, 1));

    std::vector<std::int64_t> credit(budgets.size(), 0);
    while (remaining > 0) {
        std::optional<std::size_t> chosen;
        for (std::size_t i = 0; i < budgets.size(); ++i) {
            if (budgets[i].slot_size > remaining) continue;
            credit[i] += budgets[i].weight;
            if (!chosen || credit[i] > credit[*chosen]) chosen = i;
        }
        if (!chosen) break;
        counts[*chosen] = saturating_add(counts[*chosen], 1);
        credit[*chosen] -= total_weight;
        remaining -= budgets[*chosen].slot_size;
    }
    return counts;
}

ShmAllocatorClass make_class(std::size_t index, std::uint64_t base, std::uint64_t slot_size,
                             std::uint64_t count, std::chrono::nanoseconds lease) {
    return ShmAllocatorClass{
        .name = "class" + std::to_string(index),
        .allocator = SimpleShmAllocator(base, slot_size, count, lease),
        .base_offset = base,
        .slot_size = slot_size,
        .slot_count = count,
        .total_bytes = saturating_mul(count, slot_size),
    };
}

}  // namespace

std::string pool_exhausted_message(std::uint64_t required, const ShmPoolAllocator& allocator) {
    return "SHM tensor pool exhausted (required=" + std::to_string(required) +
           " bytes, largest_slot=" + std::to_string(allocator.largest_slot_size()) +
           " bytes, layout=" + allocator.layout_summary() + ")";
}

TieredShmAllocator TieredShmAllocator::new_with_class_budgets(std::uint64_t pool_offset,
                                                              std::uint64_t pool_size,
                                                              std::span<const ClassBudget> budgets,
                                                              std::chrono::nanoseconds lease) {
    const std::vector<ClassBudget> sorted = normalise(budgets, pool_size);
    const std::vector<std::uint64_t> counts = carve(sorted, pool_size);

    std::vector<ShmAllocatorClass> classes;
    std::uint64_t cursor = pool_offset;
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        if (counts[i] == 0) continue;  // skipped classes keep their index in the names
        classes.push_back(make_class(i, cursor, sorted[i].slot_size, counts[i], lease));
        cursor = saturating_add(cursor, classes.back().total_bytes);
    }
    if (classes.empty()) {
        classes.push_back(make_class(0, pool_offset, std::max<std::uint64_t>(pool_size, 1), 1, lease));
    }
    return TieredShmAllocator(std::move(classes));
}

TieredShmAllocator TieredShmAllocator::new_with_default_classes(std::uint64_t pool_offset,
                                                                std::uint64_t pool_size,
                                                                std::chrono::nanoseconds lease) {
    std::vector<ClassBudget> budgets;
    for (std::uint64_t size : DEFAULT_CLASS_SIZES) budgets.push_back({size, 1});
    return new_with_class_budgets(pool_offset, pool_size, budgets, lease);
}

std::optional<std::uint64_t> TieredShmAllocator::try_allocate(std::uint64_t size) {
    const auto claimed = claim(size);
    if (!claimed) return std::nullopt;
    return claimed->offset;
}

std::optional<TieredShmAllocator::Claimed> TieredShmAllocator::claim_after_reclaim(std::uint64_t size) {
    if (peers_ != nullptr && size != 0 && peers_->reclaim_dead_claims() > 0) return claim_once(size);
    return std::nullopt;
}

std::optional<TieredShmAllocator::Claimed> TieredShmAllocator::claim_once(std::uint64_t size) {
    if (size == 0) return std::nullopt;
    std::uint64_t first_index = 0;
    for (ShmAllocatorClass& c : classes_) {
        if (c.slot_size >= size) {
            if (auto index = c.allocator.try_allocate_index(size)) {
                return Claimed{c.base_offset + *index * c.slot_size, first_index + *index};
            }
        }
        first_index += c.slot_count;
    }
    return std::nullopt;
}

bool TieredShmAllocator::release(std::uint64_t offset) {
    for (ShmAllocatorClass& c : classes_) {
        if (offset >= c.base_offset && offset < saturating_add(c.base_offset, c.total_bytes)) {
            return c.allocator.release(offset);
        }
    }
    return false;
}

std::uint64_t TieredShmAllocator::slot_count() const noexcept {
    std::uint64_t count = 0;
    for (const ShmAllocatorClass& c : classes_) count = saturating_add(count, c.slot_count);
    return count;
}

bool TieredShmAllocator::renew(std::uint64_t claim_index) {
    const auto [c, index] = class_of(claim_index);
    return c != nullptr && c->allocator.renew(index);
}

void TieredShmAllocator::share(SlotClaims claims, const PeerTable* peers) {
    peers_ = peers;
    std::uint64_t first = 0;
    for (ShmAllocatorClass& c : classes_) {
        c.allocator.share(claims.subrange(first));
        first += c.slot_count;
    }
}

std::uint64_t TieredShmAllocator::largest_slot_size() const {
    std::uint64_t largest = 0;
    for (const ShmAllocatorClass& c : classes_) largest = std::max(largest, c.slot_size);
    return largest;
}

std::string TieredShmAllocator::layout_summary() const {
    std::string summary;
    for (const ShmAllocatorClass& c : classes_) {
        if (!summary.empty()) summary += ", ";
        summary += c.name + "(base=" + std::to_string(c.base_offset) +
                   " slot_size=" + std::to_string(c.slot_size) +
                   " slots=" + std::to_string(c.slot_count) + ")";
    }
    return summary;
}

}  // namespace zorvo::shm
