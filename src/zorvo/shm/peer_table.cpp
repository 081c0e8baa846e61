#include "zorvo/shm/peer_table.hpp"

#include <fcntl.h>

#include <atomic>
#include <cerrno>

#include "zorvo/common/fork_generation.hpp"
#include "zorvo/shm/process_identity.hpp"

namespace zorvo::shm {

namespace {

using Word = std::atomic_ref<std::uint64_t>;

static_assert(PeerTable::MAX_PEERS == COORDINATION_CLIENTS);
static_assert(layout::CLAIMS_OFFSET == COORDINATION_CLAIMS_OFFSET);
static_assert(layout::NAME_BYTES == COORDINATION_NAME_BYTES);

Result<std::uint64_t, ShmError> table_bytes(std::uint64_t slot_count) {
    // A pool so finely carved that its claim words would not fit any sane object is refused.
    if (slot_count > (std::uint64_t{1} << 32)) return fail(ShmError::mapping(EOVERFLOW));
    return layout::object_bytes(slot_count);
}

}  // namespace

Result<PeerTable, ShmError> PeerTable::join(const ShmManager& region, std::uint64_t slot_count) {
    auto bytes = table_bytes(slot_count);
    if (!bytes.ok()) return fail(std::move(bytes).error());
    auto joined = join_coordination_object(region, bytes.value(), slot_count);
    if (!joined.ok()) return fail(std::move(joined).error());
    JoinedObject& object = joined.value();
    PeerTable table(std::move(object.name), std::move(object.fd), std::move(object.mapping), object.number, slot_count,
                    fork_generation());
    table.epoch_ = Word(table.own_->epoch).fetch_add(1, std::memory_order_acq_rel) + 1;
    table.lock_word_ = layout::lock_word(table.number_, table.epoch_);
    table.record_process();
    table.request_queue_ = region.base() + region.header().request_queue_offset;
    table.response_queue_ = region.base() + region.header().response_queue_offset;
    table.adopt_cells();
    return table;
}

PeerTable::PeerTable(std::string name, CoordinationFd fd, CoordinationMapping mapping, std::uint32_t number,
                     std::uint64_t slot_count, std::uint64_t generation) noexcept
    : name_(std::move(name)),
      fd_(std::move(fd)),
      mapping_(std::move(mapping)),
      number_(number),
      slot_count_(slot_count),
      fork_generation_(generation),
      own_(block(number)),
      free_cells_(std::make_unique<std::atomic<std::uint64_t>>(~std::uint64_t{0})),
      orphans_(std::make_unique<Orphans>()) {}

PeerTable::~PeerTable() {
    if (!fd_.valid()) return;
    // A forked child holds only placeholders of the parent's descriptor and mapping.
    if (fork_generation() != fork_generation_) return;
    leave_coordination_object(name_, fd_.get(), {claim_words(), slot_count_});
}

std::uint64_t* PeerTable::claim_words() const noexcept {
    return reinterpret_cast<std::uint64_t*>(mapping_.data() + layout::CLAIMS_OFFSET);
}

bool PeerTable::is_alive(std::uint32_t peer) const {
    if (peer == number_) return true;
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = peer;
    lock.l_len = 1;
    if (::fcntl(fd_.get(), F_OFD_GETLK, &lock) != 0) return true;  // cannot tell: assume it lives
    return lock.l_type != F_UNLCK && !holder_is_exiting(peer);
}

void PeerTable::record_process() const {
    const auto self = own_process_identity();
    if (!self) return;  // others then take this holder for alive until its lock goes
    Word(own_->process_id).store(self->pid, std::memory_order_relaxed);
    Word(own_->process_start).store(self->start_time, std::memory_order_relaxed);
    Word(own_->process_pid_namespace).store(self->pid_namespace, std::memory_order_relaxed);
    // Last, released: whoever reads this epoch reads this holder's process.
    Word(own_->process_epoch).store(epoch_, std::memory_order_release);
}

bool PeerTable::holder_is_exiting(std::uint32_t peer) const {
    // Only the holder recorded under the current epoch counts: a predecessor's record proves
    // nothing. A record half rewritten by a new holder names no process (its start time does not
    // match), or the new holder itself, which has just joined: either way not exiting.
    layout::PeerBlock* holder = block(peer);
    const std::uint64_t epoch = Word(holder->epoch).load(std::memory_order_acquire);
    if (Word(holder->process_epoch).load(std::memory_order_acquire) != epoch) return false;
    return process_is_exiting({Word(holder->process_id).load(std::memory_order_relaxed),
                               Word(holder->process_start).load(std::memory_order_relaxed),
                               Word(holder->process_pid_namespace).load(std::memory_order_relaxed)});
}

bool PeerTable::is_alive(std::uint32_t peer, std::uint64_t epoch) const {
    if (peer >= MAX_PEERS) return false;
    const std::uint64_t current = Word(block(peer)->epoch).load(std::memory_order_acquire);
    if ((current & REQUEST_COUNTER_MASK) != (epoch & REQUEST_COUNTER_MASK)) return false;
    return is_alive(peer);
}

}  // namespace zorvo::shm
