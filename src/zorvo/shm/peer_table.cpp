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

namespace zorvo::shm {

namespace {

using Word = std::atomic_ref<std::uint64_t>;
using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kNameBytes = layout::NAME_BYTES;
constexpr std::size_t kMaxRegionName = kNameBytes - 8;
constexpr std::string_view kTablePrefix = "zorvo-peers2-";

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
    return layout::object_bytes(slot_count);
}

// Opens the table object, creating it with the region's permissions when it does not exist yet,
// and waits until its creator has given it its size.
Result<UniqueFd, ShmError> open_table(const std::string& name, const ShmManager& region, std::uint64_t bytes,
                                      std::uint64_t slot_count) {
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
            const std::uint64_t header[2] = {layout::MAGIC, slot_count};
            [[maybe_unused]] auto written = ::pwrite(fd.get(), header, sizeof header, 0);
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
        auto opened = open_table(name, region, bytes.value(), slot_count);
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
            table.epoch_ = Word(table.own_->epoch).fetch_add(1, std::memory_order_acq_rel) + 1;
            table.adopt_cells();
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
      own_(block(number)),
      free_cells_(std::make_unique<std::atomic<std::uint64_t>>(~std::uint64_t{0})) {}

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

std::uint64_t* PeerTable::claim_words() const noexcept {
    return reinterpret_cast<std::uint64_t*>(mapping_.data() + layout::CLAIMS_OFFSET);
}

layout::PeerBlock* PeerTable::block(std::uint32_t peer) const noexcept {
    return reinterpret_cast<layout::PeerBlock*>(mapping_.data() + layout::peers_offset(slot_count_)) + peer;
}

std::uint64_t* PeerTable::header_word(std::uint64_t offset) const noexcept {
    return reinterpret_cast<std::uint64_t*>(mapping_.data() + offset);
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

bool PeerTable::is_alive(std::uint32_t peer, std::uint64_t epoch) const {
    if (peer >= MAX_PEERS) return false;
    const std::uint64_t current = Word(block(peer)->epoch).load(std::memory_order_acquire);
    if ((current & REQUEST_COUNTER_MASK) != (epoch & REQUEST_COUNTER_MASK)) return false;
    return is_alive(peer);
}

}  // namespace zorvo::shm
