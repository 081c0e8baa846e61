// The protocols of the coordination object: request numbering, mailbox cells, the response
// queue's consumer lock, the rescue of request-queue entries whose producer died, and the return
// of slots whose holder died.
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstring>

#include "zorvo/shm/cpu_relax.hpp"
#include "zorvo/shm/peer_table.hpp"
#include "zorvo/shm/ring_buffer.hpp"
#include "zorvo/shm/slot_claims.hpp"

namespace zorvo::shm {

namespace {

using Word = std::atomic_ref<std::uint64_t>;
using Clock = std::chrono::steady_clock;
using layout::Cell;

// Whether the engine is done with a call's slot: it answered (handed over, or taken by the call
// itself), or it never saw the request.
constexpr bool engine_done(std::uint64_t state, std::uint64_t call) noexcept {
    return (state & layout::DONE) != 0 || (call & layout::ANSWERED) != 0 || (call & layout::ANNOUNCED) == 0;
}

// A hand-over writes 48 bytes: a live writer is done within nanoseconds. A call that ends while a
// writer is still busy waits this long before it leaves the cell to that writer.
constexpr unsigned kWriterSpins = 4096;

}  // namespace

bool PeerTable::free_slot_if_answered(unsigned cell) const noexcept {
    Cell& box = own_->cells[cell];
    if ((Word(box.state).load(std::memory_order_acquire) & layout::DONE) == 0) return false;
    // This client's own claim, held by no call any more: the same rule as for a dead client's.
    reclaim_cell(number_, box);
    return true;
}

bool PeerTable::recover_cell(Cell& cell) const noexcept {
    Word state(cell.state);
    std::uint64_t seen = state.load(std::memory_order_acquire);
    if (seen == 0) return true;
    // A busy state belongs to a writer that is still passing an answer on; only its death frees it.
    if ((seen & layout::BUSY) != 0) {
        const auto writer = layout::busy_writer(seen);
        if (is_alive(writer, seen & REQUEST_COUNTER_MASK)) return false;
    }
    // An armed or done state nobody waits on any more (this process holds the cell), or a dead
    // writer's: idle again, unless it changed meanwhile.
    return state.compare_exchange_strong(seen, 0, std::memory_order_acq_rel) || seen == 0;
}

unsigned PeerTable::acquire_cell_slow() const noexcept {
    if (const unsigned cell = take_free_cell(); cell != NO_CELL) return cell;
    // Cells a dead predecessor's calls still held may have come free meanwhile.
    settle_orphans();
    return take_free_cell();
}

unsigned PeerTable::take_free_cell() const noexcept {
    std::atomic<std::uint64_t>& free = *free_cells_;
    std::uint64_t skipped = 0;
    unsigned chosen = NO_CELL;
    std::uint64_t available = free.load(std::memory_order_relaxed);
    while (available != 0) {
        const auto cell = static_cast<unsigned>(std::countr_zero(available));
        if (!free.compare_exchange_weak(available, available & ~bit(cell), std::memory_order_acquire,
                                        std::memory_order_relaxed)) {
            continue;
        }
        if (Word(own_->cells[cell].state).load(std::memory_order_acquire) == 0 || recover_cell(own_->cells[cell])) {
            chosen = cell;
            break;
        }
        // A stopped writer is still passing an answer into this cell: leave it for a later call.
        skipped |= bit(cell);
        available = free.load(std::memory_order_relaxed);
    }
    if (skipped != 0) free.fetch_or(skipped, std::memory_order_release);
    if (chosen == NO_CELL) return NO_CELL;
    mark_in_use(chosen);
    return chosen;
}

bool PeerTable::cell_in_use(unsigned cell) const noexcept {
    return (Word(own_->cells_in_use).load(std::memory_order_relaxed) & bit(cell)) != 0;
}

void PeerTable::mark_in_use(unsigned cell) const noexcept {
    // Hand-overs look only at cells marked in use; the mark stays, so it is set once per cell.
    if (!cell_in_use(cell)) Word(own_->cells_in_use).fetch_or(bit(cell), std::memory_order_acq_rel);
}

void PeerTable::finish_contended(Cell& box) const noexcept {
    Word state(box.state);
    for (unsigned spins = 0;; ++spins) {
        std::uint64_t seen = state.load(std::memory_order_acquire);
        if (seen == 0) return;
        if ((seen & layout::BUSY) == 0) {
            // Armed, or an answer nobody reads now: idle again. A writer can only move an armed
            // state to busy, so a failed exchange means one just started: look again.
            if (state.compare_exchange_weak(seen, 0, std::memory_order_acq_rel)) return;
            continue;
        }
        if (spins >= kWriterSpins) {
            // A writer that died is cleared at once; a stopped one keeps the cell, which the
            // next call that finds it done (or the writer dead) recovers.
            recover_cell(box);
            return;
        }
        cpu_relax();
    }
}

bool PeerTable::hand_over(const ShmResponseEntry& answer) const noexcept {
    const std::uint64_t owner = request_owner(answer.request_id);
    const std::uint64_t counter = request_counter(answer.request_id);
    if (owner >= MAX_PEERS || counter == 0) return false;
    layout::PeerBlock* target = block(static_cast<std::uint32_t>(owner));
    std::uint64_t candidates = Word(target->cells_in_use).load(std::memory_order_acquire);
    const std::uint64_t writing = layout::busy_state(number_, epoch_);
    while (candidates != 0) {
        Cell& box = target->cells[std::countr_zero(candidates)];
        candidates &= candidates - 1;
        Word state(box.state);
        std::uint64_t expected = counter;
        if (state.load(std::memory_order_relaxed) != counter ||
            !state.compare_exchange_strong(expected, writing, std::memory_order_acq_rel)) {
            continue;
        }
        std::uint8_t bytes[ShmResponseEntry::SIZE];
        answer.encode_into(bytes);
        for (std::size_t i = 0; i < 6; ++i) {
            std::uint64_t word;
            std::memcpy(&word, bytes + 8 * i, 8);
            Word(box.answer[i]).store(word, std::memory_order_relaxed);
        }
        std::uint64_t busy = writing;
        state.compare_exchange_strong(busy, layout::DONE | counter, std::memory_order_acq_rel);
        return true;
    }
    return false;
}

bool PeerTable::break_consumer_lock(std::uint64_t seen, bool holder_stopped) const {
    if (seen == 0) return true;
    const auto holder = static_cast<std::uint32_t>((seen >> REQUEST_COUNTER_BITS) - 1);
    if (!holder_stopped && is_alive(holder, seen & REQUEST_COUNTER_MASK)) return false;
    return Word(*header_word(layout::CONSUMER_LOCK_OFFSET))
        .compare_exchange_strong(seen, 0, std::memory_order_acq_rel, std::memory_order_relaxed);
}

bool PeerTable::rescue_stalled(std::uint8_t* request_queue, std::uint64_t stuck) const {
    const RequestQueue requests(request_queue);
    Word fill(*header_word(layout::FILL_LOCK_OFFSET));
    std::uint64_t holder = fill.load(std::memory_order_acquire);
    if (holder != 0) {
        // Another rescuer is at work; one that died leaves the lock to the next.
        const auto peer = static_cast<std::uint32_t>((holder >> REQUEST_COUNTER_BITS) - 1);
        if (!is_alive(peer, holder & REQUEST_COUNTER_MASK)) {
            fill.compare_exchange_strong(holder, 0, std::memory_order_acq_rel);
        }
        return false;
    }
    const std::uint64_t mine = lock_word_;
    if (!fill.compare_exchange_strong(holder, mine, std::memory_order_acq_rel)) return false;
    struct Unlock {
        Word& fill;
        std::uint64_t mine;
        ~Unlock() { fill.compare_exchange_strong(mine, 0, std::memory_order_acq_rel); }
    } unlock{fill, mine};

    // Under the fill lock nobody else publishes in place of `stuck`, and its reserver is the only
    // other party that could: once that reserver is proven dead, the commit index cannot move
    // past `stuck` before this rescuer does, so the filler never lands on a later lap's entry.
    if (requests.commit_index() != stuck) return true;
    if (requests.reserve_index() == stuck) return false;
    struct Reserver {
        Cell* cell;
        std::uint64_t call;
    };
    std::array<Reserver, 8> dead{};
    std::size_t dead_count = 0;
    for (std::uint32_t peer = 0; peer < MAX_PEERS; ++peer) {
        layout::PeerBlock* owner = block(peer);
        std::uint64_t used = Word(owner->cells_in_use).load(std::memory_order_acquire);
        while (used != 0) {
            Cell& cell = owner->cells[std::countr_zero(used)];
            used &= used - 1;
            const std::uint64_t call = Word(cell.call).load(std::memory_order_acquire);
            if (layout::call_intent(call) != stuck + 1) continue;
            // A live reserver, running or stopped, keeps its entry: nobody else touches it.
            if ((call & layout::ORPHANED) == 0 && is_alive(peer)) return false;
            if (dead_count < dead.size()) dead[dead_count++] = {&cell, call};
        }
    }
    // Nobody of ours reserved it (or the reserver had not yet said so): not ours to judge.
    if (dead_count == 0) return false;
    if (!requests.publish_in_place(stuck, ShmRequestEntry{})) return true;
    // The engine never sees those requests: their slots may go back at once.
    for (std::size_t i = 0; i < dead_count; ++i) {
        std::uint64_t call = dead[i].call;
        const std::uint64_t unannounced =
            call & ~(layout::ANNOUNCED | layout::ORPHANED | (layout::CALL_INTENT_MASK << layout::CALL_INTENT_SHIFT));
        Word(dead[i].cell->call).compare_exchange_strong(call, unannounced, std::memory_order_acq_rel);
    }
    return true;
}

bool PeerTable::reclaim_cell(std::uint32_t owner, Cell& cell) const noexcept {
    std::uint64_t call = Word(cell.call).load(std::memory_order_acquire);
    const std::uint64_t slot = layout::call_slot(call);
    if (slot == 0 || slot > slot_count_) return false;
    const std::uint64_t state = Word(cell.state).load(std::memory_order_acquire);
    if (!engine_done(state, call)) return false;
    Word claim(claim_words()[slot - 1]);
    std::uint64_t word = claim.load(std::memory_order_acquire);
    if ((word >> REQUEST_COUNTER_BITS) != std::uint64_t{owner} + 1) return false;
    if (!Word(cell.call).compare_exchange_strong(call, 0, std::memory_order_acq_rel)) return false;
    return claim.compare_exchange_strong(word, 0, std::memory_order_acq_rel);
}

void PeerTable::adopt_cells() {
    // This number's previous holder is gone. What its calls still await comes in time: an answer
    // that a hand-over passes into the cell, or the rescue of its unpublished reservation. Those
    // cells are kept aside until then; the others are idle again.
    std::uint64_t used = Word(own_->cells_in_use).load(std::memory_order_acquire);
    while (used != 0) {
        const auto index = static_cast<unsigned>(std::countr_zero(used));
        used &= used - 1;
        Cell& cell = own_->cells[index];
        if (reclaim_cell(number_, cell)) {
            recover_cell(cell);
            continue;
        }
        Word call(cell.call);
        std::uint64_t seen = call.load(std::memory_order_acquire);
        const std::uint64_t slot = layout::call_slot(seen);
        const std::uint64_t claim =
            slot != 0 && slot <= slot_count_ ? Word(claim_words()[slot - 1]).load(std::memory_order_acquire) : 0;
        const bool pending = (seen & layout::ANNOUNCED) != 0 && (claim >> REQUEST_COUNTER_BITS) == number_ + 1;
        if (!pending || !call.compare_exchange_strong(seen, seen | layout::ORPHANED, std::memory_order_acq_rel)) {
            call.store(0, std::memory_order_release);
            recover_cell(cell);
            continue;
        }
        free_cells_->fetch_and(~bit(index), std::memory_order_relaxed);
        orphans_->calls.push_back({index, slot - 1, claim});
    }
}

void PeerTable::settle_orphans() const noexcept {
    std::lock_guard lock(orphans_->mutex);
    auto& calls = orphans_->calls;
    for (auto it = calls.begin(); it != calls.end();) {
        Cell& cell = own_->cells[it->cell];
        const std::uint64_t call = Word(cell.call).load(std::memory_order_acquire);
        const std::uint64_t state = Word(cell.state).load(std::memory_order_acquire);
        Word claim(claim_words()[it->slot_index]);
        const bool done = engine_done(state, call);
        // An unpublished reservation waits for its rescue, however long: rescuers find it here.
        const bool reserved = layout::call_intent(call) != 0;
        const bool claim_gone = claim.load(std::memory_order_acquire) != it->claim;
        if (!done && (reserved || !claim_gone)) {
            ++it;
            continue;
        }
        if (done) {
            std::uint64_t expected = it->claim;
            claim.compare_exchange_strong(expected, 0, std::memory_order_acq_rel);
        }
        Word(cell.call).store(0, std::memory_order_release);
        recover_cell(cell);
        release_cell(it->cell);
        it = calls.erase(it);
    }
}

std::size_t PeerTable::reclaim_dead_claims() const {
    settle_orphans();
    if (const std::size_t freed = reclaim_finished_claims(); freed > 0) return freed;
    // Dead clients' requests move on only while someone calls, and with the pool full nobody
    // can: left alone, their slots would stay claimed until their leases end.
    if (!move_dead_calls_on()) return 0;
    settle_orphans();
    return reclaim_finished_claims();
}

bool PeerTable::move_dead_calls_on() const {
    bool moved = false;
    const RequestQueue requests(request_queue_);
    const std::uint64_t commit = requests.commit_index();
    if (commit < QUEUE_CAPACITY && commit != requests.reserve_index()) moved = rescue_stalled(request_queue_, commit);
    const ResponseQueue responses(response_queue_);
    Word lock(*header_word(layout::CONSUMER_LOCK_OFFSET));
    for (std::uint64_t popped = 0; popped < QUEUE_CAPACITY && responses.has_entry(); ++popped) {
        if (!try_lock_consumer()) {
            // A live consumer hands these answers over itself; a dead one's lock is freed first.
            if (!break_consumer_lock(lock.load(std::memory_order_acquire), false) || !try_lock_consumer()) break;
        }
        // Handed over before the pop completes, as ResponseConsumer does.
        auto entry = responses.try_pop(consumer_lock(), lock_word_,
                                       [this](const ShmResponseEntry& answer) { hand_over(answer); });
        unlock_consumer();
        if (!entry.ok() || !entry.value()) break;
        moved = true;
    }
    return moved;
}

std::size_t PeerTable::reclaim_finished_claims() const {
    enum : std::uint8_t { kUnknown, kAlive, kDead };
    std::array<std::uint8_t, MAX_PEERS> status{};
    std::size_t freed = 0;
    std::uint64_t* claims = claim_words();
    for (std::uint64_t index = 0; index < slot_count_; ++index) {
        const std::uint64_t word = Word(claims[index]).load(std::memory_order_acquire);
        const std::uint64_t tag = word >> REQUEST_COUNTER_BITS;
        if (tag == 0 || tag > MAX_PEERS || tag == std::uint64_t{number_} + 1) continue;
        const auto owner = static_cast<std::uint32_t>(tag - 1);
        if (status[owner] == kUnknown) status[owner] = is_alive(owner) ? kAlive : kDead;
        if (status[owner] == kAlive) continue;
        layout::PeerBlock* holder = block(owner);
        std::uint64_t used = Word(holder->cells_in_use).load(std::memory_order_acquire);
        while (used != 0) {
            Cell& cell = holder->cells[std::countr_zero(used)];
            used &= used - 1;
            if (layout::call_slot(Word(cell.call).load(std::memory_order_acquire)) != index + 1) continue;
            if (reclaim_cell(owner, cell)) ++freed;
            break;
        }
    }
    return freed;
}

}  // namespace zorvo::shm
