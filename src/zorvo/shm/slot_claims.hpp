#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>

#include "zorvo/shm/peer_table.hpp"

namespace zorvo::shm {

// The shared claim words of one size class: each names the client that leases the slot and when
// that lease ends, so that clients in different processes never lease one slot at once. A word is
// (client number + 1) << 48 | lease end on the monotonic clock (in 2^20 ns units), or 0 when free.
// A claim is honoured until its lease ends even when its client has died: the engine may still be
// reading that client's tensor from the slot, or writing its answer into it.
class SlotClaims {
public:
    SlotClaims(std::uint64_t* words, std::uint32_t owner) noexcept : words_(words), tag_(std::uint64_t{owner} + 1) {}

    // Claims slot `index` until `lease_end`; the word written, or none while another lease runs.
    std::optional<std::uint64_t> try_claim(std::uint64_t index, std::chrono::steady_clock::time_point now,
                                           std::chrono::steady_clock::time_point lease_end) const noexcept {
        Word word(words_[index]);
        std::uint64_t seen = word.load(std::memory_order_acquire);
        if (seen != 0 && (seen & REQUEST_COUNTER_MASK) > layout::lease_units(now)) return std::nullopt;
        const std::uint64_t mine = (tag_ << REQUEST_COUNTER_BITS) | layout::lease_units(lease_end);
        if (!word.compare_exchange_strong(seen, mine, std::memory_order_acq_rel)) return std::nullopt;
        return mine;
    }

    // Frees slot `index` if `word` (what try_claim wrote) still holds it; a lease that ran out and
    // was taken over stays with its new holder.
    void release(std::uint64_t index, std::uint64_t word) const noexcept {
        Word(words_[index]).compare_exchange_strong(word, 0, std::memory_order_acq_rel);
    }

    // Extends the claim `word` on slot `index` to `lease_end`: the new word, or none when the
    // claim is no longer `word` (its lease ran out and someone else took the slot).
    std::optional<std::uint64_t> renew(std::uint64_t index, std::uint64_t word,
                                       std::chrono::steady_clock::time_point lease_end) const;
    bool holds(std::uint64_t index, std::uint64_t word) const noexcept {
        return Word(words_[index]).load(std::memory_order_acquire) == word;
    }

    SlotClaims subrange(std::uint64_t first) const noexcept {
        SlotClaims part = *this;
        part.words_ += first;
        return part;
    }

private:
    using Word = std::atomic_ref<std::uint64_t>;

    std::uint64_t* words_;
    std::uint64_t tag_;
};

}  // namespace zorvo::shm
