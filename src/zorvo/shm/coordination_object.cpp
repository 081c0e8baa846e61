#include "zorvo/shm/coordination_object.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "zorvo/common/little_endian.hpp"
#include "zorvo/common/system_error.hpp"
#include "zorvo/common/unique_fd.hpp"

namespace zorvo::shm {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kDirectory = "/dev/shm/";
constexpr std::string_view kPrefix = "zorvo-peers2-";
// The previous layout (no header) under its own prefix, which an older library still sweeps.
constexpr std::string_view kOldPrefix = "zorvo-peers-";
constexpr std::uint64_t kOldMailboxBytes = 64 * 1024;
// Creators' temporary names; neither prefix above matches them.
constexpr std::string_view kTemporaryPrefix = "zorvo-peers2.new-";
constexpr time_t kAbandonedSeconds = 60;

constexpr std::uint64_t kMaxRegionName = COORDINATION_NAME_BYTES - 8;
constexpr auto kJoinPatience = std::chrono::seconds(2);

// ---------------------------------------------------------------------------------------------
// What a forked child must not keep. Every descriptor and mapping of a coordination object is
// made and dropped under this registry's lock, which fork holds, so a child never inherits one the
// registry does not know.

struct ForkRegistry {
    std::mutex mutex;
    std::vector<int> descriptors;
    std::vector<std::pair<void*, std::size_t>> mappings;
};

// Never destroyed: a client may still close its descriptor while the process exits.
ForkRegistry& registry() {
    static ForkRegistry* const instance = new ForkRegistry;
    return *instance;
}

void before_fork() noexcept { registry().mutex.lock(); }
void after_fork_in_parent() noexcept { registry().mutex.unlock(); }

// The child's copies would keep the parent's open file description, and with it the parent's
// client number, alive for the child's whole life. Numbers and addresses stay occupied, by
// /dev/null and anonymous memory, so that the child's later closes and unmaps stay harmless.
void after_fork_in_child() noexcept {
    ForkRegistry& live = registry();
    const int placeholder = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    for (const int fd : live.descriptors) {
        if (placeholder >= 0) {
            ::dup3(placeholder, fd, O_CLOEXEC);
            continue;
        }
        // A full descriptor table: closing frees exactly this number, and the next open takes it.
        ::close(fd);
        const int again = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (again >= 0 && again != fd) {
            ::dup3(again, fd, O_CLOEXEC);
            ::close(again);
        }
    }
    if (placeholder >= 0) ::close(placeholder);
    for (const auto& [address, length] : live.mappings) {
        void* anonymous =
            ::mmap(address, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        if (anonymous == MAP_FAILED) ::munmap(address, length);
    }
    live.descriptors.clear();
    live.mappings.clear();
    live.mutex.unlock();
}

// Registered when the library is loaded, before any object can be opened.
[[maybe_unused]] const int registered = ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);

// ---------------------------------------------------------------------------------------------

std::string path_of(std::string_view name) {
    std::string path(kDirectory);
    path += name.substr(name.starts_with('/') ? 1 : 0);
    return path;
}

bool lock_bytes(int fd, off_t start, off_t length) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = start;
    lock.l_len = length;
    return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

// Every number locked at once: no client holds one, and none can take one meanwhile.
bool lock_all_numbers(int fd) { return lock_bytes(fd, 0, COORDINATION_CLIENTS); }

std::string os_text(int code) { return SystemError::from_errno(code).display(); }

std::string mode_text(unsigned mode) {
    char text[8];
    std::snprintf(text, sizeof text, "0%03o", mode & 0777);
    return text;
}

std::string owner_text(const struct stat& status) {
    return "owner uid " + std::to_string(status.st_uid) + ", group " + std::to_string(status.st_gid) + ", mode " +
           mode_text(status.st_mode) + ", " + std::to_string(status.st_size) + " bytes";
}

// The status of `path` itself, a link not followed (fstat: glibc's lstat is as new as 2.33).
bool status_of(const std::string& path, struct stat& status) {
    const UniqueFd fd(::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    return fd.valid() && ::fstat(fd.get(), &status) == 0;
}

ShmError object_error(const std::string& path, const std::string& what) {
    return ShmError::coordination("coordination object " + path + " " + what);
}

ShmError open_failure(const std::string& path, int code) {
    if (code == ELOOP) return object_error(path, "is refused: it is a symbolic link");
    std::string what = "cannot be opened: " + os_text(code);
    struct stat status {};
    if (status_of(path, status)) what += " (" + owner_text(status) + ")";
    return object_error(path, what);
}

std::uint64_t lease_units_now() { return layout::lease_units(Clock::now()); }

bool claim_live(std::uint64_t word, std::uint64_t now) { return layout::claim_is_live(word, now); }

// Why an object found under the name cannot be trusted, or empty when it can. Trusted is what a
// user who may already write the region could have made: the region's owner, this user, root, a
// member of the region's group when that group may write the region, anyone when everyone may.
// Its mode grants nothing the region's does not, and group access only to the region's group.
std::string distrust(int fd, const struct stat& status, const ShmManager& region, std::uint64_t bytes,
                     std::uint64_t slot_count) {
    if (!S_ISREG(status.st_mode)) return "it is not a regular file (" + owner_text(status) + ")";
    const unsigned region_mode = region.permissions() & 0777;
    const unsigned mode = status.st_mode & 0777;
    const bool owner_may_write_region = status.st_uid == region.owner_uid() || status.st_uid == ::geteuid() ||
                                        status.st_uid == 0 || (region_mode & S_IWOTH) != 0 ||
                                        ((region_mode & S_IWGRP) != 0 && status.st_gid == region.owner_gid());
    if (!owner_may_write_region) {
        return "it is owned by uid " + std::to_string(status.st_uid) + ", neither the region's owner (uid " +
               std::to_string(region.owner_uid()) + ") nor this user (uid " + std::to_string(::geteuid()) + ")";
    }
    if ((mode & ~region_mode) != 0) {
        return "its mode " + mode_text(mode) + " grants more than the region's " + mode_text(region_mode);
    }
    if ((mode & 070) != 0 && status.st_gid != region.owner_gid()) {
        return "it grants access to group " + std::to_string(status.st_gid) + ", not the region's group " +
               std::to_string(region.owner_gid());
    }
    if (static_cast<std::uint64_t>(status.st_size) != bytes) {
        return "it has " + std::to_string(status.st_size) + " bytes, expected " + std::to_string(bytes);
    }
    std::uint8_t header[16];
    if (::pread(fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) return "its header cannot be read";
    if (load_le<std::uint64_t>(header) != PEER_TABLE_MAGIC) return "it has no coordination header";
    if (load_le<std::uint64_t>(header + 8) != slot_count) {
        return "it counts " + std::to_string(load_le<std::uint64_t>(header + 8)) + " claim words, expected " +
               std::to_string(slot_count);
    }
    return {};
}

// Whether `path` still names the object open as `fd`; an error for anything but its absence.
Result<bool, ShmError> names_same_object(const std::string& path, int fd) {
    UniqueFd again(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
    if (!again.valid()) {
        if (errno == ENOENT || errno == ELOOP) return false;
        return fail(open_failure(path, errno));
    }
    struct stat mine {};
    struct stat named {};
    if (::fstat(fd, &mine) != 0 || ::fstat(again.get(), &named) != 0) {
        return fail(object_error(path, "cannot be examined: " + os_text(errno)));
    }
    return mine.st_dev == named.st_dev && mine.st_ino == named.st_ino;
}

std::string temporary_path() {
    std::uint64_t nonce = 0;
    if (::getrandom(&nonce, sizeof nonce, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof nonce)) {
        nonce = static_cast<std::uint64_t>(Clock::now().time_since_epoch().count());
    }
    char name[96];
    std::snprintf(name, sizeof name, "%s%d-%016llx", kTemporaryPrefix.data(), static_cast<int>(::getpid()),
                  static_cast<unsigned long long>(nonce));
    return path_of(name);
}

struct UnlinkOnExit {
    const std::string& path;
    ~UnlinkOnExit() { ::unlink(path.c_str()); }
};

// Makes the object complete under a temporary name (group, mode, size, header, region name) and
// links it into place, so that nobody ever finds a half-made one. Empty when another object took
// the name first (or a sweep took the temporary name): the caller opens and checks that one.
Result<std::optional<CoordinationFd>, ShmError> create_object(const std::string& path, const ShmManager& region,
                                                              std::uint64_t bytes, std::uint64_t slot_count) {
    std::string temporary;
    CoordinationFd fd;
    for (int tries = 0; tries < 4 && !fd.valid(); ++tries) {
        temporary = temporary_path();
        fd = CoordinationFd::open(temporary, O_RDWR | O_CREAT | O_EXCL, 0600);
        if (!fd.valid() && errno != EEXIST) break;
    }
    if (!fd.valid()) return fail(object_error(path, "cannot be created: " + os_text(errno)));
    const UnlinkOnExit remove_temporary{temporary};

    unsigned mode = region.permissions() & 0777;
    // The region's group, so that its members may open the object; a creator outside that group
    // keeps its own group and grants it nothing.
    if (::fchown(fd.get(), static_cast<uid_t>(-1), region.owner_gid()) != 0) mode &= ~070u;
    std::uint8_t header[16];
    store_le(header, PEER_TABLE_MAGIC);
    store_le(header + 8, slot_count);
    const std::string& region_name = region.name();
    std::uint8_t length[8];
    store_le(length, std::uint64_t{region_name.size()});
    const auto name_at = static_cast<off_t>(bytes - COORDINATION_NAME_BYTES);
    // A region name too long to keep only means that a sweep can never judge the object.
    const bool complete =
        ::fchmod(fd.get(), mode) == 0 && ::ftruncate(fd.get(), static_cast<off_t>(bytes)) == 0 &&
        ::pwrite(fd.get(), header, sizeof header, 0) == static_cast<ssize_t>(sizeof header) &&
        (region_name.size() > kMaxRegionName ||
         (::pwrite(fd.get(), length, sizeof length, name_at) == 8 &&
          ::pwrite(fd.get(), region_name.data(), region_name.size(), name_at + 8) ==
              static_cast<ssize_t>(region_name.size())));
    if (!complete) return fail(object_error(path, "cannot be created: " + os_text(errno)));
    if (::link(temporary.c_str(), path.c_str()) != 0) {
        if (errno == EEXIST || errno == ENOENT) return std::optional<CoordinationFd>();
        return fail(object_error(path, "cannot be created: " + os_text(errno)));
    }
    return std::optional<CoordinationFd>(std::move(fd));
}

// An untrusted object is replaced only when that is provably safe: its owner is this user or the
// region's (a stranger's may not be ours to remove, and would be planted again), and nobody holds
// a client number in it. True once it is gone; false while a client holds a number in it.
Result<bool, ShmError> replace_untrusted(const std::string& path, const CoordinationFd& fd, const struct stat& status,
                                         const ShmManager& region, const std::string& why) {
    const bool ours = status.st_uid == ::geteuid() || status.st_uid == region.owner_uid();
    if (!S_ISREG(status.st_mode) || !ours) return fail(object_error(path, "is refused: " + why));
    if (!lock_all_numbers(fd.get())) return false;
    auto same = names_same_object(path, fd.get());
    if (!same.ok()) return fail(std::move(same).error());
    if (same.value() && ::unlink(path.c_str()) != 0 && errno != ENOENT) {
        return fail(object_error(path, "is refused: " + why + "; it cannot be removed: " + os_text(errno)));
    }
    return true;
}

std::optional<std::uint32_t> take_lowest_number(int fd) {
    for (std::uint32_t k = 0; k < COORDINATION_CLIENTS; ++k) {
        if (lock_bytes(fd, k, 1)) return k;
    }
    return std::nullopt;
}

void pause_briefly() {
    const timespec pause{0, 1'000'000};
    ::nanosleep(&pause, nullptr);
}

// ---------------------------------------------------------------------------------------------
// Sweeping

struct ParsedName {
    RegionIdentity identity;
    bool old_layout = false;
};

std::optional<std::uint64_t> parse_hex(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<ParsedName> parse_object_name(std::string_view file) {
    ParsedName parsed;
    if (file.starts_with(kPrefix)) {
        file.remove_prefix(kPrefix.size());
    } else if (file.starts_with(kOldPrefix)) {
        file.remove_prefix(kOldPrefix.size());
        parsed.old_layout = true;
    } else {
        return std::nullopt;
    }
    const auto dash = file.find('-');
    if (dash == std::string_view::npos) return std::nullopt;
    const auto device = parse_hex(file.substr(0, dash));
    const auto inode = parse_hex(file.substr(dash + 1));
    if (!device || !inode) return std::nullopt;
    parsed.identity = {*device, *inode};
    return parsed;
}

std::string read_region_name(int fd, std::uint64_t size) {
    const auto at = static_cast<off_t>(size - COORDINATION_NAME_BYTES);
    std::uint8_t length_bytes[8];
    if (::pread(fd, length_bytes, sizeof length_bytes, at) != 8) return {};
    const auto length = load_le<std::uint64_t>(length_bytes);
    if (length == 0 || length > kMaxRegionName) return {};
    std::string name(length, '\0');
    if (::pread(fd, name.data(), length, at + 8) != static_cast<ssize_t>(length)) return {};
    return name;
}

// Whether any claim word of the object is live; true also when they cannot all be read.
bool any_claim_live(int fd, std::uint64_t size, bool old_layout) {
    const std::uint64_t end = size - COORDINATION_NAME_BYTES;
    std::uint64_t count = 0;
    if (old_layout) {
        // The claim words, padded with zeros to 64 bytes, then the mailboxes.
        if (end < COORDINATION_CLAIMS_OFFSET + kOldMailboxBytes) return true;
        count = (end - kOldMailboxBytes - COORDINATION_CLAIMS_OFFSET) / 8;
    } else {
        std::uint8_t header[16];
        if (::pread(fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header) ||
            load_le<std::uint64_t>(header) != PEER_TABLE_MAGIC) {
            return true;
        }
        count = load_le<std::uint64_t>(header + 8);
        if (count > (end - COORDINATION_CLAIMS_OFFSET) / 8) return true;
    }
    const std::uint64_t now = lease_units_now();
    std::uint8_t chunk[4096];
    for (std::uint64_t done = 0; done < count;) {
        const std::uint64_t words = std::min<std::uint64_t>(count - done, sizeof chunk / 8);
        const auto at = static_cast<off_t>(COORDINATION_CLAIMS_OFFSET + done * 8);
        if (::pread(fd, chunk, words * 8, at) != static_cast<ssize_t>(words * 8)) return true;
        for (std::uint64_t i = 0; i < words; ++i) {
            if (claim_live(load_le<std::uint64_t>(chunk + 8 * i), now)) return true;
        }
        done += words;
    }
    return false;
}

void remove_if_stale(const std::string& path, const ParsedName& parsed) {
    const CoordinationFd fd = CoordinationFd::open(path, O_RDWR);
    struct stat status {};
    if (!fd.valid() || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) return;
    const auto size = static_cast<std::uint64_t>(status.st_size);
    if (size < COORDINATION_CLAIMS_OFFSET + COORDINATION_NAME_BYTES || !lock_all_numbers(fd.get())) return;
    const std::string region_name = read_region_name(fd.get(), size);
    if (region_name.empty()) return;
    // Gone means its name names no object, or another one (the engine made a new region); a
    // failure to tell (no descriptor left, no permission) proves nothing.
    const auto named = ShmManager::identify(region_name);
    const bool region_gone = named.ok() ? named.value() != parsed.identity
                                        : named.error().kind() == ShmError::Kind::Mapping &&
                                              named.error().os_code() == ENOENT;
    if (!region_gone || any_claim_live(fd.get(), size, parsed.old_layout)) return;
    ::unlink(path.c_str());  // another user's object in the sticky directory (EPERM) stays
}

// A creator fills its temporary object in microseconds; one stopped for longer than this finds its
// temporary name gone, fails to link it, and tries again.
void remove_if_abandoned(const std::string& path) {
    struct stat status {};
    if (!status_of(path, status) || !S_ISREG(status.st_mode)) return;
    if (::time(nullptr) - status.st_ctime > kAbandonedSeconds) ::unlink(path.c_str());
}

}  // namespace

std::string coordination_object_name(RegionIdentity region) {
    char name[64];
    std::snprintf(name, sizeof name, "/%s%llx-%llx", kPrefix.data(), static_cast<unsigned long long>(region.device),
                  static_cast<unsigned long long>(region.inode));
    return name;
}

CoordinationFd CoordinationFd::open(const std::string& path, int flags, unsigned mode) {
    ForkRegistry& live = registry();
    const std::lock_guard hold(live.mutex);
    const int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, static_cast<mode_t>(mode));
    if (fd < 0) return {};
    live.descriptors.push_back(fd);
    return CoordinationFd(fd);
}

CoordinationFd& CoordinationFd::operator=(CoordinationFd&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

void CoordinationFd::reset() noexcept {
    if (fd_ < 0) return;
    ForkRegistry& live = registry();
    const std::lock_guard hold(live.mutex);
    std::erase(live.descriptors, fd_);
    ::close(std::exchange(fd_, -1));
}

CoordinationMapping CoordinationMapping::map(int fd, std::size_t bytes) {
    ForkRegistry& live = registry();
    const std::lock_guard hold(live.mutex);
    void* address = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (address == MAP_FAILED) return {};
    live.mappings.emplace_back(address, bytes);
    CoordinationMapping mapping;
    mapping.address_ = address;
    mapping.length_ = bytes;
    return mapping;
}

CoordinationMapping& CoordinationMapping::operator=(CoordinationMapping&& other) noexcept {
    if (this != &other) {
        reset();
        address_ = std::exchange(other.address_, nullptr);
        length_ = std::exchange(other.length_, 0);
    }
    return *this;
}

void CoordinationMapping::reset() noexcept {
    if (address_ == nullptr) return;
    ForkRegistry& live = registry();
    const std::lock_guard hold(live.mutex);
    std::erase(live.mappings, std::pair<void*, std::size_t>(address_, length_));
    ::munmap(std::exchange(address_, nullptr), std::exchange(length_, 0));
}

Result<JoinedObject, ShmError> join_coordination_object(const ShmManager& region, std::uint64_t bytes,
                                                        std::uint64_t slot_count) {
    if (bytes < COORDINATION_CLAIMS_OFFSET + slot_count * 8 + COORDINATION_NAME_BYTES) {
        return fail(ShmError::mapping(EINVAL));
    }
    std::string name = coordination_object_name(region.identity());
    const std::string path = path_of(name);
    const auto give_up = Clock::now() + kJoinPatience;
    bool created = false;
    for (;;) {
        // What stood in the way of this attempt, for the error when they all failed.
        std::string waited_for;
        CoordinationFd fd = CoordinationFd::open(path, O_RDWR);
        if (!fd.valid()) {
            // Only a missing object is made anew; any other failure ends the attach.
            if (errno != ENOENT) return fail(open_failure(path, errno));
            auto made = create_object(path, region, bytes, slot_count);
            if (!made.ok()) return fail(std::move(made).error());
            if (made.value()) {
                fd = std::move(*made.value());
                created = true;
            } else {
                waited_for = "was being replaced by other clients";
            }
        } else {
            struct stat status {};
            if (::fstat(fd.get(), &status) != 0) return fail(object_error(path, "cannot be examined: " + os_text(errno)));
            const std::string why = distrust(fd.get(), status, region, bytes, slot_count);
            if (!why.empty()) {
                auto replaced = replace_untrusted(path, fd, status, region, why);
                if (!replaced.ok()) return fail(std::move(replaced).error());
                waited_for = replaced.value() ? "was being replaced by other clients"
                                              : "is refused: " + why + "; and a client holds a number in it";
                fd.reset();
            }
        }
        if (fd.valid()) {
            if (const auto number = take_lowest_number(fd.get())) {
                auto same = names_same_object(path, fd.get());
                if (!same.ok()) return fail(std::move(same).error());
                if (same.value()) {
                    auto mapping = CoordinationMapping::map(fd.get(), bytes);
                    if (mapping.data() == nullptr) return fail(object_error(path, "cannot be mapped: " + os_text(errno)));
                    // A new object means a new region, and old regions' objects may have been left.
                    if (created) sweep_stale_coordination_objects(name);
                    return JoinedObject{std::move(name), std::move(fd), std::move(mapping), *number};
                }
                waited_for = "was removed while joining it";
            } else {
                // All 1024 taken, or a leaving client holds them all for a moment.
                waited_for = "has no free client number";
            }
        }
        if (Clock::now() > give_up) return fail(object_error(path, waited_for + " (tried for 2 s)"));
        pause_briefly();
    }
}

void leave_coordination_object(const std::string& name, int fd, std::span<std::uint64_t> claims) noexcept {
    if (!lock_all_numbers(fd)) return;
    const std::uint64_t now = lease_units_now();
    for (std::uint64_t& word : claims) {
        if (claim_live(std::atomic_ref<std::uint64_t>(word).load(std::memory_order_acquire), now)) return;
    }
    ::unlink(path_of(name).c_str());  // another user's object in the sticky directory (EPERM) stays
}

void sweep_stale_coordination_objects(std::string_view keep) {
    const std::unique_ptr<DIR, int (*)(DIR*)> directory(::opendir(kDirectory.data()), ::closedir);
    if (!directory) return;
    while (const dirent* entry = ::readdir(directory.get())) {
        const std::string_view file = entry->d_name;
        const std::string path = path_of(file);
        if (file.starts_with(kTemporaryPrefix)) {
            remove_if_abandoned(path);
        } else if (const auto parsed = parse_object_name(file); parsed && path != path_of(keep)) {
            remove_if_stale(path, *parsed);
        }
    }
}

}  // namespace zorvo::shm
