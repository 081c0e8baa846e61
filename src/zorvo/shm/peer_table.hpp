#pragma once

#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <mutex>
#include <string>
#include <vector>

#include "zorvo/common/result.hpp"
#include "zorvo/shm/coordination_object.hpp"
#include "zorvo/shm/peer_layout.hpp"
#include "zorvo/shm/queue_entries.hpp"
#include "zorvo/shm/region.hpp"
#include "zorvo/shm/shm_error.hpp"

namespace zorvo::shm {

// The coordination object that the clients of this library attached to one region share. It is a
// small shared-memory object of its own, named after the region object's identity (so a restarted
// engine's new region gets a new one) and created with the region's group and permissions (see
// coordination_object.hpp for how it is found, trusted, created and removed); nothing is ever
// written into the engine's region. It holds:
// - client numbers: client k holds an open-file-description write lock on byte k of the object,
//   which the kernel drops when the client closes it or its process dies;
// - one claim word per pool slot (owner and lease end), so that no two clients lease one slot
//   (see SlotClaims);
// - per client number: the request counter that outlives the number's holders, and one mailbox
//   cell per call in flight, through which a client that takes someone else's answer from the
//   response queue hands it over;
// - the response queue's consumer lock and the request queue's fill lock.
// Past its header, all zeros is the initial state of every part, so a new object needs no more.
// The layout is in peer_layout.hpp.
class PeerTable {
public:
    static constexpr std::uint32_t MAX_PEERS = layout::MAX_PEERS;
    static constexpr unsigned CELLS = layout::CELLS;
    static constexpr unsigned NO_CELL = CELLS;

    // Joins (creating when needed) the table of `region` with `slot_count` claim words and takes
    // the lowest free client number.
    static Result<PeerTable, ShmError> join(const ShmManager& region, std::uint64_t slot_count);

    PeerTable(PeerTable&& other) noexcept = default;
    PeerTable& operator=(PeerTable&&) = delete;
    PeerTable(const PeerTable&) = delete;
    ~PeerTable();

    std::uint32_t number() const noexcept { return number_; }
    std::uint64_t epoch() const noexcept { return epoch_; }
    const std::string& object_name() const noexcept { return name_; }
    // Whether client number `peer` is still held, by a process that is not exiting; with
    // `epoch`, by that same holder. System calls, so asked only when a decision depends on it,
    // never on the path of an uncontended call.
    bool is_alive(std::uint32_t peer) const;
    bool is_alive(std::uint32_t peer, std::uint64_t epoch) const;

    std::uint64_t* claim_words() const noexcept;

    // Whether calls of this client may run on several threads at once. Without, the client's own
    // words (its counter and its free cells) change with plain stores: nobody else writes them.
    void allow_concurrent_calls() noexcept { concurrent_ = true; }
    std::uint64_t slot_count() const noexcept { return slot_count_; }

    // The next request counter of this client number. It continues from where the number's
    // earlier holders stopped, so that a late answer to one of their requests never matches.
    std::uint64_t next_counter() const noexcept;
    std::uint64_t peek_next_counter() const noexcept {
        const std::uint64_t next = (Word(own_->next_counter).load(std::memory_order_relaxed) + 1) & REQUEST_COUNTER_MASK;
        return next == 0 ? 1 : next;
    }
    // A call whose push gave up waiting leaves its cell, still armed, to the follow-up that
    // publishes it later. Once the engine's answer has been handed into it, the slot is freed
    // here (true); the cell is then finished.
    bool free_slot_if_answered(unsigned cell) const noexcept;

    // Cells: one per call in flight. `acquire_cell` returns NO_CELL when every cell is in use.
    unsigned acquire_cell() const noexcept;
    void release_cell(unsigned cell) const noexcept {
        std::atomic<std::uint64_t>& free = *free_cells_;
        if (!concurrent_) {
            free.store(free.load(std::memory_order_relaxed) | bit(cell), std::memory_order_relaxed);
            return;
        }
        free.fetch_or(bit(cell), std::memory_order_release);
    }
    // How many calls of this client hold a cell now (at least 1 while one asks).
    unsigned calls_in_flight() const noexcept {
        return static_cast<unsigned>(std::popcount(~free_cells_->load(std::memory_order_relaxed)));
    }

    // The call in `cell` holds the pool slot with claim index `slot_index`: recorded as soon as
    // the slot is claimed, so that the slot comes back should this client die before announcing it.
    void record_slot(unsigned cell, std::uint64_t slot_index) const noexcept;
    // The call in `cell`, taken idle by acquire_cell, awaits `counter`. Armed before the request
    // is announced: another client may take the answer at once.
    void arm(unsigned cell, std::uint64_t counter) const noexcept;
    // The engine has answered the call in `cell`: it is done with the slot.
    void answered(unsigned cell) const noexcept;
    // The request is about to take request-queue index `index` (called before every attempt), and
    // no longer holds an unpublished one.
    void reserving(unsigned cell, std::uint64_t index) const noexcept;
    void published(unsigned cell) const noexcept;
    // An answer that another client handed over, if it has come.
    std::optional<ShmResponseEntry> collect(unsigned cell, std::uint64_t counter) const noexcept;
    // The call ends, with or without its answer; the cell is idle again unless a hand-over to it is still being written by a stopped writer, in which case it is
    // left until that writer finishes or dies.
    void finish(unsigned cell) const noexcept;

    // Passes an answer to the call that awaits it (of any client, this one included); false (and
    // the answer is dropped) when no call waits for it any more.
    bool hand_over(const ShmResponseEntry& answer) const noexcept;

    // The response queue has many consumers; one pop at a time keeps a consumer that was
    // descheduled for a whole lap from completing a stale pop. False while someone else pops.
    bool try_lock_consumer() const noexcept {
        std::uint64_t expected = 0;
        return Word(*header_word(layout::CONSUMER_LOCK_OFFSET))
            .compare_exchange_strong(expected, lock_word_, std::memory_order_acquire, std::memory_order_relaxed);
    }
    void unlock_consumer() const noexcept {
        // Only a holder found stopped for a second loses the lock to someone else; a plain store
        // after the check keeps the common case free of a second locked instruction.
        Word lock(*header_word(layout::CONSUMER_LOCK_OFFSET));
        if (lock.load(std::memory_order_relaxed) == lock_word_) lock.store(0, std::memory_order_release);
    }
    // The lock word, for a pop to check that it still holds the lock just before it completes,
    // and what it holds while this client holds the lock.
    const std::uint64_t* consumer_lock() const noexcept { return header_word(layout::CONSUMER_LOCK_OFFSET); }
    std::uint64_t own_lock_word() const noexcept { return lock_word_; }
    // Frees the lock from holder `seen` if that holder is dead, or regardless once it has held
    // the lock for so long that it must be stopped (`holder_stopped`). True when the lock is free.
    bool break_consumer_lock(std::uint64_t seen, bool holder_stopped) const;

    // Commit index `stuck` of the request queue has not moved: if every client that was reserving
    // it is dead, publishes an empty request in its place (the engine answers request 0, which
    // nobody awaits). True when it did, or when the index moved meanwhile.
    bool rescue_stalled(std::uint8_t* request_queue, std::uint64_t stuck) const;

    // Frees slots whose holder is dead and whose request the engine is provably done with (it
    // answered, or the request was never announced). Returns how many it freed. Asked when the
    // pool is full, when nobody else calls and so nobody else moves dead clients' requests on: it
    // publishes in place of dead reservers and hands over the answers waiting in the response
    // queue before it gives up.
    std::size_t reclaim_dead_claims() const;

private:
    using Word = std::atomic_ref<std::uint64_t>;
    static constexpr std::uint64_t bit(unsigned cell) noexcept { return std::uint64_t{1} << cell; }

    layout::PeerBlock* block(std::uint32_t peer) const noexcept {
        return reinterpret_cast<layout::PeerBlock*>(mapping_.data() + layout::peers_offset(slot_count_)) + peer;
    }
    std::uint64_t* header_word(std::uint64_t offset) const noexcept {
        return reinterpret_cast<std::uint64_t*>(mapping_.data() + offset);
    }
    unsigned acquire_cell_slow() const noexcept;
    // Records this holder's process in its block, for holder_is_exiting.
    void record_process() const;
    // Whether the process recorded for the current holder of `peer` is exiting.
    bool holder_is_exiting(std::uint32_t peer) const;
    // The rest of `finish` when a hand-over may be writing into the cell.
    void finish_contended(layout::Cell& cell) const noexcept;
    // Takes over a dead predecessor's cells at join: frees the slots it is provably done with, and
    // keeps aside the calls whose answer or rescue is still to come.
    void adopt_cells();
    // Frees the kept-aside calls that have been answered or rescued since, or whose claim ended.
    void settle_orphans() const noexcept;
    unsigned take_free_cell() const noexcept;
    bool cell_in_use(unsigned cell) const noexcept;
    void mark_in_use(unsigned cell) const noexcept;
    // Frees the slot of a dead holder's call in `cell` if the engine is done with it.
    bool reclaim_cell(std::uint32_t owner, layout::Cell& cell) const noexcept;
    // Frees the slots of dead holders whose calls the engine is done with.
    std::size_t reclaim_finished_claims() const;
    // What a call in progress would do for the dead: rescues a request-queue entry stalled by a
    // dead reserver and hands over the answers in the response queue. True if it moved anything.
    bool move_dead_calls_on() const;
    // Resets a cell state that no call waits on (a late answer, a writer that died).
    bool recover_cell(layout::Cell& cell) const noexcept;

    PeerTable(std::string name, CoordinationFd fd, CoordinationMapping mapping, std::uint32_t number,
              std::uint64_t slot_count, std::uint64_t fork_generation) noexcept;
    // The region's request and response queues, inside its mapping, which outlives the table.
    std::uint8_t* request_queue_ = nullptr;
    std::uint8_t* response_queue_ = nullptr;

    std::string name_;
    CoordinationFd fd_;
    CoordinationMapping mapping_;
    std::uint32_t number_ = 0;
    std::uint64_t epoch_ = 0;
    std::uint64_t lock_word_ = 0;  // what the lock words hold while this client holds them
    std::uint64_t slot_count_ = 0;
    std::uint64_t fork_generation_ = 0;
    bool concurrent_ = false;
    layout::PeerBlock* own_ = nullptr;
    // This process's cells that no call of this client uses (bit per cell).
    std::unique_ptr<std::atomic<std::uint64_t>> free_cells_;
    // A dead predecessor's calls still in flight at join: their cells, slots and claim words.
    struct Orphan {
        unsigned cell;
        std::uint64_t slot_index;
        std::uint64_t claim;
    };
    struct Orphans {
        std::mutex mutex;
        std::vector<Orphan> calls;
    };
    std::unique_ptr<Orphans> orphans_;
};

// The steps every call takes, inline: they run once or more per call.

inline std::uint64_t PeerTable::next_counter() const noexcept {
    Word counter(own_->next_counter);
    if (!concurrent_) {
        // Only this client's one caller writes its number's counter.
        const std::uint64_t seen = counter.load(std::memory_order_relaxed);
        std::uint64_t next = (seen + 1) & REQUEST_COUNTER_MASK;
        if (next == 0) next = 1;
        counter.store(next, std::memory_order_relaxed);
        return next;
    }
    for (;;) {
        // Counter 0 is never sent, so that an idle cell can never match an answer.
        const std::uint64_t next = (counter.fetch_add(1, std::memory_order_relaxed) + 1) & REQUEST_COUNTER_MASK;
        if (next != 0) return next;
    }
}

inline unsigned PeerTable::acquire_cell() const noexcept {
    if (!concurrent_) {
        // One caller: its lowest free cell, idle and already marked in use, is simply taken.
        std::atomic<std::uint64_t>& free = *free_cells_;
        const std::uint64_t available = free.load(std::memory_order_relaxed);
        if (available != 0) {
            const auto cell = static_cast<unsigned>(std::countr_zero(available));
            if (Word(own_->cells[cell].state).load(std::memory_order_acquire) == 0 &&
                (Word(own_->cells_in_use).load(std::memory_order_relaxed) & bit(cell)) != 0) {
                free.store(available & ~bit(cell), std::memory_order_relaxed);
                return cell;
            }
        }
    }
    return acquire_cell_slow();
}

inline void PeerTable::record_slot(unsigned cell, std::uint64_t slot_index) const noexcept {
    Word(own_->cells[cell].call).store((slot_index + 1) & layout::CALL_SLOT_MASK, std::memory_order_release);
}

inline void PeerTable::arm(unsigned cell, std::uint64_t counter) const noexcept {
    // The call took the cell idle, and an idle cell changes only here: a hand-over moves only a
    // state that holds its counter (never 0), and recovering or finishing a cell only moves it to
    // 0. So nobody can have changed the state since it was taken, and a compare-and-swap from 0
    // could not fail: a plain store does the same with one locked instruction less per call.
    // Released: a writer that takes the answer reads the call's earlier writes.
    Word(own_->cells[cell].state).store(counter, std::memory_order_release);
}

inline void PeerTable::answered(unsigned cell) const noexcept {
    Word call(own_->cells[cell].call);
    call.store(call.load(std::memory_order_relaxed) | layout::ANSWERED, std::memory_order_release);
}

inline void PeerTable::reserving(unsigned cell, std::uint64_t index) const noexcept {
    Word call(own_->cells[cell].call);
    const std::uint64_t current = call.load(std::memory_order_relaxed);
    const std::uint64_t intent = ((index + 1) & layout::CALL_INTENT_MASK) << layout::CALL_INTENT_SHIFT;
    const std::uint64_t cleared = current & ~(layout::CALL_INTENT_MASK << layout::CALL_INTENT_SHIFT);
    // Visible before the reservation that follows: it releases what came before it.
    call.store(cleared | intent | layout::ANNOUNCED, std::memory_order_release);
}

inline void PeerTable::published(unsigned cell) const noexcept {
    Word call(own_->cells[cell].call);
    const std::uint64_t current = call.load(std::memory_order_relaxed);
    call.store(current & ~(layout::CALL_INTENT_MASK << layout::CALL_INTENT_SHIFT), std::memory_order_release);
}

inline std::optional<ShmResponseEntry> PeerTable::collect(unsigned cell, std::uint64_t counter) const noexcept {
    layout::Cell& box = own_->cells[cell];
    if (Word(box.state).load(std::memory_order_acquire) != (layout::DONE | counter)) return std::nullopt;
    std::uint8_t bytes[ShmResponseEntry::SIZE];
    for (std::size_t i = 0; i < 6; ++i) {
        const std::uint64_t word = Word(box.answer[i]).load(std::memory_order_relaxed);
        std::memcpy(bytes + 8 * i, &word, 8);
    }
    return ShmResponseEntry::decode(std::span<const std::uint8_t, ShmResponseEntry::SIZE>(bytes));
}

inline void PeerTable::finish(unsigned cell) const noexcept {
    layout::Cell& box = own_->cells[cell];
    // The slot is no longer this cell's to report: released by the call, or left to its lease.
    Word(box.call).store(0, std::memory_order_release);
    Word state(box.state);
    std::uint64_t seen = state.load(std::memory_order_acquire);
    // Armed, or an answer nobody reads now: idle again, unless a writer started meanwhile.
    if (seen != 0 && ((seen & layout::BUSY) != 0 || !state.compare_exchange_strong(seen, 0, std::memory_order_acq_rel))) {
        finish_contended(box);
    }
    release_cell(cell);
}

}  // namespace zorvo::shm
