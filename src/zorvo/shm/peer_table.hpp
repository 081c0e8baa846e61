#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "zorvo/common/result.hpp"
#include "zorvo/shm/coordination_object.hpp"
#include "zorvo/shm/queue_entries.hpp"
#include "zorvo/shm/region.hpp"
#include "zorvo/shm/shm_error.hpp"

namespace zorvo::shm {

// Request numbers carry the number of the client that sent them in their high bits, so that any
// client that takes an answer from the shared response queue knows whose it is. Client 0 numbers
// its requests 1, 2, 3, ... exactly as a client alone on a region always has.
inline constexpr unsigned REQUEST_COUNTER_BITS = 48;
inline constexpr std::uint64_t REQUEST_COUNTER_MASK = (std::uint64_t{1} << REQUEST_COUNTER_BITS) - 1;

constexpr std::uint64_t compose_request_id(std::uint32_t peer, std::uint64_t counter) noexcept {
    return (std::uint64_t{peer} << REQUEST_COUNTER_BITS) | (counter & REQUEST_COUNTER_MASK);
}
constexpr std::uint64_t request_owner(std::uint64_t id) noexcept { return id >> REQUEST_COUNTER_BITS; }
constexpr std::uint64_t request_counter(std::uint64_t id) noexcept { return id & REQUEST_COUNTER_MASK; }

// The coordination object that the clients of this library attached to one region share. It is a
// small shared-memory object of its own, named after the region object's identity (so a restarted
// engine's new region gets a new one) and created with the region's group and permissions (see
// coordination_object.hpp for how it is found, trusted, created and removed); nothing is ever
// written into the engine's region. It holds:
// - client numbers: client k holds an open-file-description write lock on byte k of the object,
//   which the kernel drops when the client closes it or its process dies;
// - one claim word per pool slot (owner and lease end), so that no two clients lease one slot
//   (see SlotClaims);
// - one mailbox per client number, through which a client that takes someone else's answer from
//   the response queue hands it over.
// Past its header, all zeros is the initial state of every part, so a new object needs no more.
class PeerTable {
public:
    static constexpr std::uint32_t MAX_PEERS = 1024;

    // Joins (creating when needed) the table of `region` with `slot_count` claim words and takes
    // the lowest free client number.
    static Result<PeerTable, ShmError> join(const ShmManager& region, std::uint64_t slot_count);

    PeerTable(PeerTable&& other) noexcept = default;
    PeerTable& operator=(PeerTable&&) = delete;
    PeerTable(const PeerTable&) = delete;
    ~PeerTable();

    std::uint32_t number() const noexcept { return number_; }
    const std::string& object_name() const noexcept { return name_; }
    // Whether client number `peer` still exists; a system call, so asked only when a decision
    // depends on it, never on the path of an uncontended call.
    bool is_alive(std::uint32_t peer) const;

    std::uint64_t* claim_words() const noexcept;

    // Own mailbox: armed with the counter of the request about to be sent and looked at once per
    // polling round. A call that ends without its answer disarms it; once the answer has come
    // (from the queue or the mailbox) nobody hands that counter over again, and the next arm
    // simply replaces it.
    void arm(std::uint64_t counter) const noexcept {
        if (!mailbox_stuck_) std::atomic_ref<std::uint64_t>(*own_state_).store(counter, std::memory_order_release);
    }
    std::optional<ShmResponseEntry> collect(std::uint64_t counter) const noexcept {
        if (std::atomic_ref<std::uint64_t>(*own_state_).load(std::memory_order_acquire) != (MAILBOX_DONE | counter)) {
            return std::nullopt;
        }
        return read_mailbox();
    }
    void disarm() const noexcept;

    // Passes an answer for another client's request to that client; false (and the answer is
    // dropped) when no client waits for it any more.
    bool hand_over(const ShmResponseEntry& answer) const noexcept;

    static constexpr std::uint64_t MAILBOX_DONE = std::uint64_t{1} << 62;

    // One cache line per mailbox: the state word, then the answer's six words.
    struct Mailbox {
        std::uint64_t state;
        std::uint64_t words[6];
        std::uint64_t unused;
    };

private:
    Mailbox* mailbox(std::uint64_t peer) const noexcept;
    ShmResponseEntry read_mailbox() const noexcept;

    PeerTable(std::string name, CoordinationFd fd, CoordinationMapping mapping, std::uint32_t number,
              std::uint64_t slot_count, std::uint64_t fork_generation) noexcept;

    std::string name_;
    CoordinationFd fd_;
    CoordinationMapping mapping_;
    std::uint32_t number_ = 0;
    std::uint64_t slot_count_ = 0;
    std::uint64_t fork_generation_ = 0;
    std::uint64_t* own_state_ = nullptr;  // this client's mailbox state word
    // A mailbox whose hand-over never finished (its writer stopped mid-way) is not used again.
    mutable bool mailbox_stuck_ = false;
};

}  // namespace zorvo::shm
