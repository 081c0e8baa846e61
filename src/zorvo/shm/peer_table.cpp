#include "zorvo/shm/peer_table.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include "zorvo/common/fork_generation.hpp"
#include "zorvo/shm/cpu_relax.hpp"

namespace zorvo::shm {

namespace {

using Word = std::atomic_ref<std::uint64_t>;
using Clock = std::chrono::steady_clock;

using Mailbox = PeerTable::Mailbox;
static_assert(sizeof(Mailbox) == 64);

// Layout: the header (magic, claim word count) and unused words up to byte 64, the claim words,
// the mailboxes (from a 64-byte boundary), and last the region's name (see coordination_object.hpp).
// Client 0's claim words and mailbox share the first page, so a lone client's calls touch one page
// of the table.
constexpr std::uint64_t kClaimsOffset = COORDINATION_CLAIMS_OFFSET;
constexpr std::uint64_t kMailboxBytes = sizeof(Mailbox) * PeerTable::MAX_PEERS;
static_assert(PeerTable::MAX_PEERS == COORDINATION_CLIENTS);

// Mailbox state: 0 when idle; the awaited counter when armed; with kBusy and the writer's number
// while a hand-over writes the answer; with kDone once the answer is complete.
constexpr std::uint64_t kBusy = std::uint64_t{1} << 63;
constexpr std::uint64_t kDone = PeerTable::MAILBOX_DONE;
constexpr unsigned kWriterShift = REQUEST_COUNTER_BITS;
constexpr std::uint64_t kWriterMask = 0x3ff;
static_assert(PeerTable::MAX_PEERS - 1 <= kWriterMask);

// How long a client that gives up waits for a hand-over that is writing its mailbox: a live
// writer finishes in nanoseconds, so only a stopped process lasts this long.
constexpr auto kHandOverPatience = std::chrono::seconds(1);

constexpr std::uint64_t mailboxes_offset(std::uint64_t slot_count) {
    return (kClaimsOffset + slot_count * sizeof(std::uint64_t) + 63) / 64 * 64;
}

Result<std::uint64_t, ShmError> table_bytes(std::uint64_t slot_count) {
    // A pool so finely carved that its claim words would not fit any sane object is refused.
    if (slot_count > (std::uint64_t{1} << 32)) return fail(ShmError::mapping(EOVERFLOW));
    return mailboxes_offset(slot_count) + kMailboxBytes + COORDINATION_NAME_BYTES;
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
    // A mailbox a previous holder of this number left behind is idle again; its slot claims run
    // out with their leases.
    Word(*table.own_state_).store(0, std::memory_order_release);
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
      own_state_(&mailbox(number)->state) {}

PeerTable::~PeerTable() {
    if (!fd_.valid()) return;
    // A forked child holds only placeholders of the parent's descriptor and mapping.
    if (fork_generation() != fork_generation_) return;
    leave_coordination_object(name_, fd_.get(), {claim_words(), slot_count_});
}

bool PeerTable::is_alive(std::uint32_t peer) const {
    if (peer == number_) return true;
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = peer;
    lock.l_len = 1;
    if (::fcntl(fd_.get(), F_OFD_GETLK, &lock) != 0) return true;  // cannot tell: assume it lives
    return lock.l_type != F_UNLCK;
}

std::uint64_t* PeerTable::claim_words() const noexcept {
    return reinterpret_cast<std::uint64_t*>(mapping_.data() + kClaimsOffset);
}

PeerTable::Mailbox* PeerTable::mailbox(std::uint64_t peer) const noexcept {
    return reinterpret_cast<Mailbox*>(mapping_.data() + mailboxes_offset(slot_count_)) + peer;
}

ShmResponseEntry PeerTable::read_mailbox() const noexcept {
    Mailbox* box = mailbox(number_);
    std::uint8_t bytes[ShmResponseEntry::SIZE];
    for (std::size_t i = 0; i < 6; ++i) {
        const std::uint64_t word = Word(box->words[i]).load(std::memory_order_relaxed);
        std::memcpy(bytes + 8 * i, &word, 8);
    }
    return ShmResponseEntry::decode(std::span<const std::uint8_t, ShmResponseEntry::SIZE>(bytes));
}

void PeerTable::disarm() const noexcept {
    if (mailbox_stuck_) return;
    Word state(*own_state_);
    const auto started = Clock::now();
    for (unsigned spins = 1;; ++spins) {
        std::uint64_t seen = state.load(std::memory_order_acquire);
        if ((seen & kBusy) == 0) {
            // Armed, or a late answer that nobody will read: either way idle again. Only a
            // hand-over in progress may change an armed state, so this cannot lose one.
            if (state.compare_exchange_weak(seen, 0, std::memory_order_acq_rel)) return;
            continue;
        }
        // A hand-over is writing the answer: wait for it unless its writer is gone.
        if (spins % 1024 == 0) {
            const auto writer = static_cast<std::uint32_t>((seen >> kWriterShift) & kWriterMask);
            if (!is_alive(writer)) {
                state.compare_exchange_strong(seen, 0, std::memory_order_acq_rel);
                continue;
            }
            if (Clock::now() - started > kHandOverPatience) {
                mailbox_stuck_ = true;
                return;
            }
        }
        cpu_relax();
    }
}

bool PeerTable::hand_over(const ShmResponseEntry& answer) const noexcept {
    const std::uint64_t owner = request_owner(answer.request_id);
    const std::uint64_t counter = request_counter(answer.request_id);
    // Counter 0 is never sent, so an idle mailbox never matches; own stale answers are dropped.
    if (owner >= MAX_PEERS || owner == number_ || counter == 0) return false;
    Mailbox* box = mailbox(owner);
    Word state(box->state);
    std::uint64_t expected = counter;
    const std::uint64_t writing = kBusy | (std::uint64_t{number_} << kWriterShift) | counter;
    if (!state.compare_exchange_strong(expected, writing, std::memory_order_acq_rel)) return false;
    std::uint8_t bytes[ShmResponseEntry::SIZE];
    answer.encode_into(bytes);
    for (std::size_t i = 0; i < 6; ++i) {
        std::uint64_t word;
        std::memcpy(&word, bytes + 8 * i, 8);
        Word(box->words[i]).store(word, std::memory_order_relaxed);
    }
    // Nobody else changes a busy state (its owner waits for it), so a plain store completes it.
    state.store(kDone | counter, std::memory_order_release);
    return true;
}

}  // namespace zorvo::shm
