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

// Layout: 64 unused bytes, the claim words, the mailboxes (from a 64-byte boundary), and last the
// region's name (u64 length, then the bytes), so that a table left behind by a killed last client
// can be recognised as stale once its region is gone. Client 0's claim words and mailbox share the
// first page, so a lone client's calls touch one page of the table.
constexpr std::uint64_t kClaimsOffset = 64;
constexpr std::uint64_t kNameBytes = 4096;
constexpr std::size_t kMaxRegionName = kNameBytes - 8;
constexpr std::string_view kTablePrefix = "zorvo-peers-";
constexpr std::uint64_t kMailboxBytes = sizeof(Mailbox) * PeerTable::MAX_PEERS;

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

// How long a joining client waits for the table's creator to size it.
constexpr auto kCreationPatience = std::chrono::seconds(2);

std::string table_name(RegionIdentity identity) {
    char name[64];
    std::snprintf(name, sizeof name, "/%s%llx-%llx", kTablePrefix.data(),
                  static_cast<unsigned long long>(identity.device), static_cast<unsigned long long>(identity.inode));
    return name;
}

bool lock_bytes(int fd, short type, off_t start, off_t length, int command) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = start;
    lock.l_len = length;
    return ::fcntl(fd, command, &lock) == 0;
}

constexpr std::uint64_t mailboxes_offset(std::uint64_t slot_count) {
    return (kClaimsOffset + slot_count * sizeof(std::uint64_t) + 63) / 64 * 64;
}

void write_region_name(int fd, std::uint64_t table_bytes, const std::string& region_name) {
    if (region_name.size() > kMaxRegionName) return;
    const std::uint64_t length = region_name.size();
    const auto at = static_cast<off_t>(table_bytes - kNameBytes);
    if (::pwrite(fd, &length, sizeof length, at) == 8) {
        [[maybe_unused]] auto written = ::pwrite(fd, region_name.data(), region_name.size(), at + 8);
    }
}

std::string read_region_name(int fd) {
    struct stat status {};
    if (::fstat(fd, &status) != 0 || static_cast<std::uint64_t>(status.st_size) < kNameBytes) return {};
    const off_t at = status.st_size - static_cast<off_t>(kNameBytes);
    std::uint64_t length = 0;
    if (::pread(fd, &length, sizeof length, at) != 8 || length == 0 || length > kMaxRegionName) return {};
    std::string name(length, '\0');
    if (::pread(fd, name.data(), length, at + 8) != static_cast<ssize_t>(length)) return {};
    return name;
}

// Removes the tables that no client holds and whose region no longer exists (their last client
// was killed). Run by the client that creates a new table, which is when an engine has created a
// new region and old tables may have been left behind.
void remove_stale_tables(const std::string& own_name) {
    std::unique_ptr<DIR, int (*)(DIR*)> directory(::opendir("/dev/shm"), ::closedir);
    if (!directory) return;
    while (const dirent* entry = ::readdir(directory.get())) {
        const std::string_view file = entry->d_name;
        if (!file.starts_with(kTablePrefix)) continue;
        std::string name = "/";
        name += file;
        if (name == own_name) continue;
        unsigned long long device = 0;
        unsigned long long inode = 0;
        if (std::sscanf(entry->d_name + kTablePrefix.size(), "%llx-%llx", &device, &inode) != 2) continue;
        UniqueFd fd(::shm_open(name.c_str(), O_RDWR, 0));
        // One we may not open, or a client still holds a number: not ours to judge.
        if (!fd.valid() || !lock_bytes(fd.get(), F_WRLCK, 0, PeerTable::MAX_PEERS, F_OFD_SETLK)) continue;
        const std::string region_name = read_region_name(fd.get());
        if (region_name.empty()) continue;
        auto region = ShmManager::identify(region_name);
        if (!region.ok() || region.value() != RegionIdentity{device, inode}) ::shm_unlink(name.c_str());
    }
}


void pause_briefly() {
    const timespec pause{0, 1'000'000};
    ::nanosleep(&pause, nullptr);
}

Result<std::uint64_t, ShmError> table_bytes(std::uint64_t slot_count) {
    // A pool so finely carved that its claim words would not fit any sane object is refused.
    if (slot_count > (std::uint64_t{1} << 32)) return fail(ShmError::mapping(EOVERFLOW));
    return mailboxes_offset(slot_count) + kMailboxBytes + kNameBytes;
}

// Opens the table object, creating it with the region's permissions when it does not exist yet,
// and waits until its creator has given it its size.
Result<UniqueFd, ShmError> open_table(const std::string& name, const ShmManager& region, std::uint64_t bytes) {
    const unsigned permissions = region.permissions();
    for (;;) {
        UniqueFd fd(::shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, permissions & 0777));
        if (fd.valid()) {
            // The creation mode went through the umask; every user who may open the region must
            // be able to open its table too.
            if (::fchmod(fd.get(), permissions & 0777) != 0 || ::ftruncate(fd.get(), static_cast<off_t>(bytes)) != 0) {
                const int code = errno;
                ::shm_unlink(name.c_str());
                return fail(ShmError::mapping(code));
            }
            write_region_name(fd.get(), bytes, region.name());
            remove_stale_tables(name);
            return fd;
        }
        if (errno != EEXIST) return fail(ShmError::mapping(errno));
        fd = UniqueFd(::shm_open(name.c_str(), O_RDWR, 0));
        if (!fd.valid()) {
            if (errno == ENOENT) continue;  // its last client removed it just now
            return fail(ShmError::mapping(errno));
        }
        const auto deadline = Clock::now() + kCreationPatience;
        for (;;) {
            struct stat status {};
            if (::fstat(fd.get(), &status) != 0) return fail(ShmError::mapping(errno));
            if (static_cast<std::uint64_t>(status.st_size) == bytes) return fd;
            if (status.st_size != 0 || Clock::now() > deadline) return fail(ShmError::invalid_layout(
                "coordination object " + name + " has " + std::to_string(status.st_size) + " bytes, expected " +
                std::to_string(bytes)));
            pause_briefly();
        }
    }
}

bool names_same_object(const std::string& name, int fd) {
    UniqueFd again(::shm_open(name.c_str(), O_RDONLY, 0));
    if (!again.valid()) return false;
    struct stat mine {};
    struct stat named {};
    return ::fstat(fd, &mine) == 0 && ::fstat(again.get(), &named) == 0 && mine.st_dev == named.st_dev &&
           mine.st_ino == named.st_ino;
}

}  // namespace

Result<PeerTable, ShmError> PeerTable::join(const ShmManager& region, std::uint64_t slot_count) {
    auto bytes = table_bytes(slot_count);
    if (!bytes.ok()) return fail(std::move(bytes).error());
    const std::string name = table_name(region.identity());
    const auto give_up = Clock::now() + kCreationPatience;
    for (;;) {
        auto opened = open_table(name, region, bytes.value());
        if (!opened.ok()) return fail(std::move(opened).error());
        UniqueFd fd = std::move(opened).value();

        std::optional<std::uint32_t> number;
        for (std::uint32_t k = 0; k < MAX_PEERS && !number; ++k) {
            if (lock_bytes(fd.get(), F_WRLCK, k, 1, F_OFD_SETLK)) number = k;
        }
        // A client that removes the table locks every number for a moment; so does a full table.
        // Either way the name is looked at again, and a table that was removed is created anew.
        if (number && names_same_object(name, fd.get())) {
            void* address = ::mmap(nullptr, bytes.value(), PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
            if (address == MAP_FAILED) return fail(ShmError::mapping(errno));
            PeerTable table(name, std::move(fd), Mapping(address, bytes.value()), *number, slot_count,
                            fork_generation());
            // A mailbox a previous holder of this number left behind is idle again; its slot
            // claims run out with their leases.
            Word(*table.own_state_).store(0, std::memory_order_release);
            return table;
        }
        if (!number && Clock::now() > give_up) return fail(ShmError::mapping(EUSERS));
        if (!number) pause_briefly();
    }
}

PeerTable::PeerTable(std::string name, UniqueFd fd, Mapping mapping, std::uint32_t number, std::uint64_t slot_count,
                     std::uint64_t generation) noexcept
    : name_(std::move(name)),
      fd_(std::move(fd)),
      mapping_(std::move(mapping)),
      number_(number),
      slot_count_(slot_count),
      fork_generation_(generation),
      own_state_(&mailbox(number)->state) {}

PeerTable::~PeerTable() {
    if (!fd_.valid()) return;
    // A forked child shares the parent's open file description, and with it the parent's number:
    // it only drops its copies.
    if (fork_generation() != fork_generation_) return;
    // The last client removes the table. Every number locked at once means nobody else holds one;
    // a client that has opened the table but not yet taken a number sees the name gone and
    // creates a new table.
    if (lock_bytes(fd_.get(), F_WRLCK, 0, MAX_PEERS, F_OFD_SETLK)) ::shm_unlink(name_.c_str());
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
