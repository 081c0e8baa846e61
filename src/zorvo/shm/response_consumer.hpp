#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>

#include "zorvo/common/result.hpp"
#include "zorvo/shm/infer_error.hpp"
#include "zorvo/shm/peer_table.hpp"
#include "zorvo/shm/queue_entries.hpp"
#include "zorvo/shm/queue_error.hpp"
#include "zorvo/shm/ring_buffer.hpp"
#include "zorvo/shm/tensor_block.hpp"

namespace zorvo::shm {

// Pops the next answer under the response queue's consumer lock. While another client holds the
// lock nothing is popped (that client hands our answer over); a holder that died, or one stopped
// for longer than kStoppedHolder, loses the lock.
class ResponseConsumer {
public:
    ResponseConsumer(const PeerTable& peers, const ResponseQueue& queue) noexcept : peers_(peers), queue_(queue) {}

    struct Popped {
        bool any = false;                      // an answer left the queue
        std::optional<ShmResponseEntry> own;   // and it was the one asked for
    };
    // Pops the next answer. Any other than `own_id`'s (0: none) is handed over to the call that
    // awaits it before the pop completes, so that a consumer killed or stopped in between takes
    // no answer with it: the next consumer pops it again, and a second hand-over of an answer
    // finds no call armed for it and does nothing.
    Result<Popped, QueueError> pop(std::chrono::steady_clock::time_point now, std::uint64_t own_id = 0) {
        if (!queue_.has_entry()) return Popped{};
        if (!peers_.try_lock_consumer()) {
            watch_holder(now);
            return Popped{};
        }
        const auto hand_over = [this, own_id](const ShmResponseEntry& entry) {
            if (own_id == 0 || entry.request_id != own_id) peers_.hand_over(entry);
        };
        auto popped = queue_.try_pop(peers_.consumer_lock(), peers_.own_lock_word(), hand_over);
        peers_.unlock_consumer();
        if (!popped.ok()) return fail(std::move(popped).error());
        const auto& entry = popped.value();
        if (!entry) return Popped{};
        if (own_id != 0 && entry->request_id == own_id) return Popped{true, entry};
        return Popped{true, std::nullopt};
    }

private:
    static constexpr auto kDeadCheck = std::chrono::milliseconds(5);
    static constexpr auto kStoppedHolder = std::chrono::seconds(1);

    void watch_holder(std::chrono::steady_clock::time_point now) {
        const std::uint64_t holder = std::atomic_ref<const std::uint64_t>(*peers_.consumer_lock())
                                         .load(std::memory_order_acquire);
        if (holder != seen_) {
            seen_ = holder;
            since_ = now;
            checked_ = false;
            return;
        }
        const auto held = now - since_;
        if (held >= kStoppedHolder) {
            peers_.break_consumer_lock(holder, true);
        } else if (held >= kDeadCheck && !checked_) {
            checked_ = true;
            peers_.break_consumer_lock(holder, false);
        }
    }

    const PeerTable& peers_;
    const ResponseQueue& queue_;
    std::uint64_t seen_ = 0;
    std::chrono::steady_clock::time_point since_{};
    bool checked_ = false;
};

// The result block's offset of an answer, or the engine's error.
inline Result<std::uint64_t, InferError> read_answer(const ShmResponseEntry& entry, std::span<const std::uint8_t> region) {
    if (entry.is_error == 0) return entry.result_offset;
    if (entry.error_offset == 0) return fail(InferError::runtime("Unknown error"));
    auto text = read_error_text(region, entry.error_offset);
    return fail(InferError::runtime(text.ok() ? std::move(text).value() : std::move(text).error()));
}

}  // namespace zorvo::shm
