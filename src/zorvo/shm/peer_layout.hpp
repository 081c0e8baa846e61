#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>

#include "zorvo/shm/queue_layout.hpp"

namespace zorvo::shm {

// Request numbers carry the number of the client that sent them in their high bits, so that any
// client that takes an answer from the shared response queue knows whose it is. A lone client on
// a fresh coordination object numbers its requests 1, 2, 3, ... as a client alone always has.
inline constexpr unsigned REQUEST_COUNTER_BITS = 48;
inline constexpr std::uint64_t REQUEST_COUNTER_MASK = (std::uint64_t{1} << REQUEST_COUNTER_BITS) - 1;

constexpr std::uint64_t compose_request_id(std::uint32_t peer, std::uint64_t counter) noexcept {
    return (std::uint64_t{peer} << REQUEST_COUNTER_BITS) | (counter & REQUEST_COUNTER_MASK);
}
constexpr std::uint64_t request_owner(std::uint64_t id) noexcept { return id >> REQUEST_COUNTER_BITS; }
constexpr std::uint64_t request_counter(std::uint64_t id) noexcept { return id & REQUEST_COUNTER_MASK; }

// The layout of the coordination object the clients of one region share. All zeros is the initial
// state of every part but the first two header words, which its creator writes.
//   [0]   magic, [8] slot count
//   [16]  response-queue consumer lock, [24] request-queue fill lock (see LockWord)
//   [64]  one claim word per pool slot (SlotClaims)
//   then one PeerBlock per client number, from a 64-byte boundary
//   last  the region's name: u64 length, then the bytes, in the last NAME_BYTES
namespace layout {

inline constexpr std::uint64_t MAGIC = 0x3273726565507a5a;  // "Zzpeers2"
inline constexpr std::uint64_t MAGIC_OFFSET = 0;
inline constexpr std::uint64_t SLOT_COUNT_OFFSET = 8;
inline constexpr std::uint64_t CONSUMER_LOCK_OFFSET = 16;
inline constexpr std::uint64_t FILL_LOCK_OFFSET = 24;
inline constexpr std::uint64_t CLAIMS_OFFSET = 64;
inline constexpr std::uint64_t NAME_BYTES = 4096;
inline constexpr std::uint32_t MAX_PEERS = 1024;
// Calls one client may have in flight at once: one mailbox cell each.
inline constexpr unsigned CELLS = 64;

// One cache line: the state word, the call's bookkeeping, then the answer's six words.
struct Cell {
    std::uint64_t state;
    std::uint64_t call;
    std::uint64_t answer[6];
};
static_assert(sizeof(Cell) == 64);

// Per client number: the request counter that outlives its holders, the holder epoch (raised by
// every holder at join, so that a reused number is told from its dead predecessor), the cells that
// may be in use, the holder's process (its epoch, then its ProcessIdentity: a holder whose process
// is exiting still holds its number lock until late in its exit), and the cells.
struct PeerBlock {
    std::uint64_t next_counter;
    std::uint64_t epoch;
    std::uint64_t cells_in_use;
    std::uint64_t process_epoch;
    std::uint64_t process_id;
    std::uint64_t process_start;
    std::uint64_t process_pid_namespace;
    std::uint64_t unused;
    Cell cells[CELLS];
};
static_assert(sizeof(PeerBlock) == 64 * (CELLS + 1));

constexpr std::uint64_t peers_offset(std::uint64_t slot_count) noexcept {
    return (CLAIMS_OFFSET + slot_count * sizeof(std::uint64_t) + 63) / 64 * 64;
}
constexpr std::uint64_t object_bytes(std::uint64_t slot_count) noexcept {
    return peers_offset(slot_count) + sizeof(PeerBlock) * MAX_PEERS + NAME_BYTES;
}

// Cell state: 0 when idle; the awaited counter when armed; BUSY with the writer's number and epoch
// while a hand-over writes the answer; DONE with the counter once the answer is complete.
inline constexpr std::uint64_t BUSY = std::uint64_t{1} << 63;
inline constexpr std::uint64_t DONE = std::uint64_t{1} << 62;
inline constexpr unsigned WRITER_SHIFT = REQUEST_COUNTER_BITS;
inline constexpr std::uint64_t WRITER_MASK = 0x3ff;
static_assert(MAX_PEERS - 1 <= WRITER_MASK);

constexpr std::uint64_t busy_state(std::uint32_t writer, std::uint64_t epoch) noexcept {
    return BUSY | (std::uint64_t{writer} << WRITER_SHIFT) | (epoch & REQUEST_COUNTER_MASK);
}
constexpr std::uint32_t busy_writer(std::uint64_t state) noexcept {
    return static_cast<std::uint32_t>((state >> WRITER_SHIFT) & WRITER_MASK);
}

// Cell call word, written by the cell's owner only: the claimed slot's index + 1 (0: none), the
// request-queue index the owner is reserving or publishing + 1 (0: none), and flags. ANNOUNCED
// stays set from the first reservation attempt until the call ends: from then on the engine may
// read the slot. ANSWERED: the engine has answered, so it is done with the slot. ORPHANED: see below.
inline constexpr std::uint64_t CALL_SLOT_MASK = 0xffffffff;
inline constexpr unsigned CALL_INTENT_SHIFT = 32;
inline constexpr std::uint64_t CALL_INTENT_MASK = 0xffff;
inline constexpr std::uint64_t ANNOUNCED = std::uint64_t{1} << 62;
inline constexpr std::uint64_t ANSWERED = std::uint64_t{1} << 61;
// Set by the next holder of the number on a dead predecessor's call: its reservation is a dead
// producer's, however alive the number looks.
inline constexpr std::uint64_t ORPHANED = std::uint64_t{1} << 60;
static_assert(QUEUE_CAPACITY < CALL_INTENT_MASK);

constexpr std::uint64_t call_slot(std::uint64_t call) noexcept { return call & CALL_SLOT_MASK; }
constexpr std::uint64_t call_intent(std::uint64_t call) noexcept {
    return (call >> CALL_INTENT_SHIFT) & CALL_INTENT_MASK;
}

// Claim word: (owner number + 1) << 48 | lease end. Lease ends are kept in units of 2^20 ns (about
// 1 ms) of the monotonic clock: a shift, where milliseconds would cost a division on every call.
// A lease end rounds down: a claim ends within a millisecond before the lease it stands for.
inline std::uint64_t lease_units(std::chrono::steady_clock::time_point at) noexcept {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
    if (ns < 0) return 0;
    return std::min<std::uint64_t>(static_cast<std::uint64_t>(ns) >> 20, REQUEST_COUNTER_MASK);
}
constexpr bool claim_is_live(std::uint64_t word, std::uint64_t now_units) noexcept {
    return word != 0 && (word & REQUEST_COUNTER_MASK) > now_units;
}

// A lock word: (holder number + 1) << 48 | holder epoch; 0 when free. A holder that died is
// recognised by its number being free or held at another epoch.
constexpr std::uint64_t lock_word(std::uint32_t holder, std::uint64_t epoch) noexcept {
    return (std::uint64_t{holder + 1} << REQUEST_COUNTER_BITS) | (epoch & REQUEST_COUNTER_MASK);
}

}  // namespace layout

}  // namespace zorvo::shm
