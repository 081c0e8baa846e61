#include "zorvo/shm/coordination_object.hpp"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

#include "test_region.hpp"
#include "zorvo/common/little_endian.hpp"
#include "zorvo/shm/region_client.hpp"

namespace zorvo::shm {
namespace {

using namespace std::chrono_literals;
using testing::StandardLayout;

constexpr uid_t kOtherUser = 65534;
constexpr gid_t kSharedGroup = 4242;

struct Region : testing::TestRegion {
    Region() : TestRegion(StandardLayout::region_size(1048576)) { write_header(StandardLayout::header(1048576)); }
    std::string path() const { return "/dev/shm" + name(); }
    std::string object_path(std::uint64_t inode_change = 0) const {
        struct stat status {};
        ::stat(path().c_str(), &status);
        return "/dev/shm" + coordination_object_name({status.st_dev, status.st_ino + inode_change});
    }
};

std::optional<RegionClient> attached(const Region& region, std::chrono::nanoseconds lease = SLOT_LEASE) {
    auto client = RegionClient::attach(region.name(), lease);
    if (!client.ok()) ADD_FAILURE() << client.error().display();
    return client.ok() ? std::optional<RegionClient>(std::move(client).value()) : std::nullopt;
}

struct stat stat_of(const std::string& path) {
    struct stat status {};  // st_ino 0: no such file
    ::lstat(path.c_str(), &status);
    return status;
}

// A forked process driven step by step: each side's go() releases the other side's wait().
class Child {
public:
    explicit Child(const std::function<int(Child&)>& body) {
        if (::pipe(pipes_) != 0 || ::pipe(pipes_ + 2) != 0) throw std::runtime_error("pipe");
        pid_ = ::fork();
        // Each side keeps the ends it uses, so that it sees the other side's end when it dies.
        for (const int unused : pid_ == 0 ? std::array{1, 2} : std::array{0, 3}) ::close(std::exchange(pipes_[unused], -1));
        if (pid_ == 0) {
            ::alarm(20);
            ::_exit(body(*this));
        }
    }
    ~Child() {
        for (const int fd : pipes_) ::close(fd);
    }
    void go() { [[maybe_unused]] auto n = ::write(pipes_[pid_ == 0 ? 3 : 1], "", 1); }
    void wait() {
        char byte;
        [[maybe_unused]] auto n = ::read(pipes_[pid_ == 0 ? 0 : 2], &byte, 1);
    }
    int exit_code() {
        int status = -1;
        ::waitpid(pid_, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    int pipes_[4];  // to the child, to the parent
    pid_t pid_;
};

bool become_other_user() {
    const gid_t groups[] = {kSharedGroup};
    return ::setgroups(1, groups) == 0 && ::setresgid(kOtherUser, kOtherUser, kOtherUser) == 0 &&
           ::setresuid(kOtherUser, kOtherUser, kOtherUser) == 0;
}

void leave_free_descriptors(int count) {
    const rlimit limit{64, 64};
    ::setrlimit(RLIMIT_NOFILE, &limit);
    std::vector<int> taken;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY)) >= 0;) taken.push_back(fd);
    for (; count > 0 && !taken.empty(); --count, taken.pop_back()) ::close(taken.back());
}

// An object at `path` as a client would make it (when big enough to have a header and a name).
void write_object(const std::string& path, std::uint64_t size, std::uint64_t magic, std::uint64_t slot_count,
                  std::uint64_t first_claim, const std::string& region_name, uid_t owner, mode_t mode) {
    std::vector<std::uint8_t> bytes(size);
    if (size > COORDINATION_NAME_BYTES) {
        store_le(bytes.data(), magic);
        store_le(bytes.data() + 8, slot_count);
        store_le(bytes.data() + 64, first_claim);
        store_le(bytes.data() + size - COORDINATION_NAME_BYTES, std::uint64_t{region_name.size()});
        std::copy(region_name.begin(), region_name.end(), bytes.data() + size - COORDINATION_NAME_BYTES + 8);
    }
    const UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600));
    ASSERT_EQ(::write(fd.get(), bytes.data(), size), static_cast<ssize_t>(size)) << path;
    ASSERT_EQ(::fchown(fd.get(), owner, owner) | ::fchmod(fd.get(), mode), 0);
}

// Client number `k` of the object at `path`, held through another open file description.
UniqueFd holding_number(const std::string& path, off_t k) {
    UniqueFd fd(::open(path.c_str(), O_RDWR));
    struct flock lock {.l_type = F_WRLCK, .l_whence = SEEK_SET, .l_start = k, .l_len = 1, .l_pid = 0};
    EXPECT_EQ(::fcntl(fd.get(), F_OFD_SETLK, &lock), 0);
    return fd;
}

TEST(CoordinationObject, PlantedObjectsAreRefusedOrReplacedWhenProvablySafe) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to plant objects of another user";
    constexpr std::int64_t kEmpty = INT64_MIN;  // as a creator killed half-way would have left it
    constexpr std::int64_t kSymlink = INT64_MIN + 1;
    struct Plant {
        const char* what;
        uid_t owner;
        mode_t mode;
        std::int64_t size_change;
        std::uint64_t magic;
        bool number_held;
        const char* refusal;  // none: replaced
    };
    const Plant plants[] = {
        {"another user's, world-writable", kOtherUser, 0666, 0, PEER_TABLE_MAGIC, false, "owned by uid 65534"},
        {"another user's, empty", kOtherUser, 0600, kEmpty, 0, false, "owned by uid 65534"},
        {"a symbolic link", 0, 0600, kSymlink, 0, false, "symbolic link"},
        {"own, world-writable", 0, 0666, 0, PEER_TABLE_MAGIC, false, nullptr},
        {"own, wrong size", 0, 0600, 4096, PEER_TABLE_MAGIC, false, nullptr},
        {"own, wrong magic", 0, 0600, 0, 1, false, nullptr},
        {"own, empty", 0, 0600, kEmpty, 0, false, nullptr},
        {"own, empty, a number held", 0, 0600, kEmpty, 0, true, "holds a number"},
    };
    Region probe;
    auto client = attached(probe);
    ASSERT_TRUE(client);
    const auto bytes = static_cast<std::uint64_t>(stat_of(probe.object_path()).st_size);
    for (const Plant& plant : plants) {
        SCOPED_TRACE(plant.what);
        Region region;
        const std::string path = region.object_path();
        if (plant.size_change == kSymlink) {
            ASSERT_EQ(::symlink(region.path().c_str(), path.c_str()), 0);
        } else {
            write_object(path, plant.size_change == kEmpty ? 0 : bytes + plant.size_change, plant.magic,
                         client->allocator().slot_count(), 0, region.name(), plant.owner, plant.mode);
        }
        const UniqueFd holder = plant.number_held ? holding_number(path, 3) : UniqueFd();
        const ino_t planted = stat_of(path).st_ino;
        auto joined = RegionClient::attach(region.name());
        const struct stat found = stat_of(path);
        if (plant.refusal != nullptr) {
            const std::string message = joined.ok() ? "joined" : joined.error().display();
            EXPECT_TRUE(message.find(path) != std::string::npos && message.find(plant.refusal) != std::string::npos)
                << message;
            EXPECT_EQ(found.st_ino, planted);
            ::unlink(path.c_str());
        } else {
            EXPECT_TRUE(joined.ok()) << joined.error().display();
            EXPECT_NE(found.st_ino, planted);
            EXPECT_TRUE(found.st_uid == 0 && (found.st_mode & 0777) == 0600 && std::uint64_t(found.st_size) == bytes);
        }
    }
}

TEST(CoordinationObject, MembersOfTheRegionsGroupShareItsObjectAndLeaveOneTheyMayNotRemove) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    Region region;
    ASSERT_EQ(::chown(region.path().c_str(), 0, kSharedGroup) | ::chmod(region.path().c_str(), 0660), 0);
    const std::string path = region.object_path();
    const auto member_as = [&region](std::uint32_t number) {
        return [&region, number](Child& self) {
            const bool member = become_other_user();
            auto client = RegionClient::attach(region.name());
            self.go();
            self.wait();
            return member && client.ok() && client->peers().number() == number ? 0 : 1;
        };
    };
    {
        // A member makes the object with the region's group and mode, and the owner trusts it.
        Child member(member_as(0));
        member.wait();
        const struct stat made = stat_of(path);
        EXPECT_TRUE(made.st_uid == kOtherUser && made.st_gid == kSharedGroup && (made.st_mode & 0777) == 0660);
        auto owner = attached(region);
        EXPECT_TRUE(owner && owner->peers().number() == 1);
        member.go();
        EXPECT_EQ(member.exit_code(), 0);
    }
    EXPECT_EQ(stat_of(path).st_ino, 0u);
    // The owner's object outlives a member who leaves last and may not remove it; it is joined again.
    auto owner = attached(region);
    Child member(member_as(1));
    member.wait();
    const ino_t made = stat_of(path).st_ino;
    owner.reset();
    member.go();
    EXPECT_EQ(member.exit_code(), 0);
    owner = attached(region);
    EXPECT_TRUE(owner && owner->peers().number() == 0);
    EXPECT_EQ(stat_of(path).st_ino, made);
}

TEST(CoordinationObject, ALiveClaimKeepsTheObjectAfterItsLastClient) {
    Region region;
    auto client = attached(region, 300ms);
    ASSERT_TRUE(client && client->allocator().try_allocate(1));  // a call that timed out: never released
    const ino_t made = stat_of(region.object_path()).st_ino;
    client.reset();
    EXPECT_EQ(stat_of(region.object_path()).st_ino, made);  // the engine may still use the slot
    client = attached(region, 300ms);
    std::this_thread::sleep_for(350ms);
    client.reset();
    EXPECT_EQ(stat_of(region.object_path()).st_ino, 0u);
}

TEST(CoordinationObject, TheSweepRemovesOnlyObjectsProvenStale) {
    enum : unsigned { kOldLayout = 1, kRegionExists = 2, kRegionReplaced = 4, kLiveClaim = 8, kNumberHeld = 16 };
    constexpr unsigned kOther = 32;  // swept by another user
    struct Case {
        const char* what;
        bool removed;
        unsigned conditions;
        int free_descriptors = -1;  // -1: no limit
    };
    const Case cases[] = {
        {"region gone", true, 0},
        {"previous layout, region gone", true, kOldLayout},
        {"region's name names another object", true, kRegionExists | kRegionReplaced},
        {"region exists", false, kRegionExists},
        {"a claim is live", false, kLiveClaim},
        {"a number is held", false, kNumberHeld},
        {"no descriptor left to look the region up", false, 0, 2},
        {"one descriptor more", true, 0, 3},
        {"another user's, not removable", false, kOther},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if ((c.conditions & kOther) != 0 && ::geteuid() != 0) continue;
        Region region;
        std::string path = region.object_path((c.conditions & kRegionReplaced) != 0);
        if ((c.conditions & kOldLayout) != 0) path.replace(path.find("peers2"), 6, "peers");
        const auto lease_end = std::chrono::steady_clock::now() + ((c.conditions & kLiveClaim) != 0 ? 10s : -1s);
        const std::uint64_t claim = (std::uint64_t{1} << 48) | (lease_end.time_since_epoch().count() >> 20);
        write_object(path, 4096 + 65536 + 4096, PEER_TABLE_MAGIC, 4, claim,
                     region.name() + ((c.conditions & kRegionExists) != 0 ? "" : "-gone"), 0, 0666);
        const UniqueFd holder = (c.conditions & kNumberHeld) != 0 ? holding_number(path, 5) : UniqueFd();
        Child sweeper([&c](Child&) {
            if ((c.conditions & kOther) != 0 && !become_other_user()) return 2;
            if (c.free_descriptors >= 0) leave_free_descriptors(c.free_descriptors);
            sweep_stale_coordination_objects("");
            return 0;
        });
        EXPECT_EQ(sweeper.exit_code(), 0);
        EXPECT_EQ(stat_of(path).st_ino == 0, c.removed);
        ::unlink(path.c_str());
    }
}

TEST(CoordinationObject, AForkedChildThatNeverCallsDoesNotKeepItsParentsNumber) {
    Region region;
    auto parent = attached(region);
    const auto other = attached(region);  // keeps the object when the parent's client goes
    Child idle([](Child& self) {
        self.go();
        self.wait();
        return 0;
    });
    idle.wait();  // its copies are replaced right after fork, before it runs anything
    parent.reset();
    Child next([&region](Child&) {
        auto client = RegionClient::attach(region.name());
        return client.ok() && client->peers().number() == 0 ? 0 : 1;
    });
    EXPECT_EQ(next.exit_code(), 0);
    idle.go();
    EXPECT_EQ(idle.exit_code(), 0);
}

TEST(CoordinationObject, JoinsEndPromptlyWhenDescriptorsRunOut) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizers' own checks need descriptors (they probe memory through a pipe).
    GTEST_SKIP() << "not under the sanitizers";
#endif
    Region region;
    for (const bool object_exists : {false, true}) {
        // An existing object is opened, its name looked at again and mapped; a new one is made first.
        const auto holder = object_exists ? attached(region) : std::nullopt;
        for (int free = 0; free <= 4; ++free) {
            SCOPED_TRACE(std::to_string(free) + " free, object exists: " + std::to_string(object_exists));
            Child joiner([&region, free](Child&) {
                leave_free_descriptors(free);
                const auto started = std::chrono::steady_clock::now();
                auto client = RegionClient::attach(region.name());
                if (std::chrono::steady_clock::now() - started > 1s) return 1;
                return client.ok() || client.error().display().find("os error 24") != std::string::npos ? 0 : 2;
            });
            EXPECT_EQ(joiner.exit_code(), 0);
        }
    }
}

}  // namespace
}  // namespace zorvo::shm
