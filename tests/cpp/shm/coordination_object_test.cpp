#include "zorvo/shm/coordination_object.hpp"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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
using testing::TestRegion;

constexpr uid_t kOtherUser = 65534;
constexpr gid_t kSharedGroup = 4242;

struct Region : TestRegion {
    Region() : TestRegion(StandardLayout::region_size(1048576)) { write_header(StandardLayout::header(1048576)); }
    std::string path() const { return "/dev/shm" + name(); }
    std::string object_path() const {
        struct stat status {};
        ::stat(path().c_str(), &status);
        return "/dev/shm" + coordination_object_name({status.st_dev, status.st_ino});
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
    template <class Body>
    explicit Child(Body body) {
        if (::pipe(to_child_) != 0 || ::pipe(to_parent_) != 0) throw std::runtime_error("pipe");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::alarm(20);
            ::_exit(body(*this));
        }
    }
    ~Child() {
        for (const int fd : {to_child_[0], to_child_[1], to_parent_[0], to_parent_[1]}) ::close(fd);
    }
    void go() { [[maybe_unused]] auto n = ::write(pid_ == 0 ? to_parent_[1] : to_child_[1], "", 1); }
    void wait() {
        char byte;
        [[maybe_unused]] auto n = ::read(pid_ == 0 ? to_child_[0] : to_parent_[0], &byte, 1);
    }
    int exit_code() {
        int status = -1;
        ::waitpid(pid_, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    int to_child_[2];
    int to_parent_[2];
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

// A complete object as a client would make it, at `path`, naming `region_name`.
void write_object(const std::string& path, std::uint64_t size, std::uint64_t magic, std::uint64_t slot_count,
                  std::uint64_t first_claim, const std::string& region_name) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0) << path;
    std::vector<std::uint8_t> bytes(size);
    if (size >= 72 + COORDINATION_NAME_BYTES) {
        store_le(bytes.data(), magic);
        store_le(bytes.data() + 8, slot_count);
        store_le(bytes.data() + 64, first_claim);
        store_le(bytes.data() + size - COORDINATION_NAME_BYTES, std::uint64_t{region_name.size()});
        std::copy(region_name.begin(), region_name.end(), bytes.data() + size - COORDINATION_NAME_BYTES + 8);
    }
    ASSERT_EQ(::write(fd, bytes.data(), size), static_cast<ssize_t>(size));
    ::close(fd);
}

std::uint64_t claim_ending_in(std::chrono::steady_clock::duration from_now) {
    const auto end = std::chrono::steady_clock::now() + from_now;
    return (std::uint64_t{1} << 48) | (static_cast<std::uint64_t>(end.time_since_epoch().count()) >> 20);
}

TEST(CoordinationObject, PlantedObjectsAreRefusedOrReplacedWhenProvablySafe) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to plant objects of another user";
    struct Plant {
        const char* what;
        uid_t owner = 0;
        mode_t mode = 0600;
        std::int64_t size_change = 0;  // INT64_MIN: empty, as a creator killed half-way would leave it
        std::uint64_t magic = PEER_TABLE_MAGIC;
        bool number_held = false;
        bool symlink = false;
        const char* refusal = nullptr;  // none: replaced
    };
    constexpr std::int64_t kEmpty = INT64_MIN;
    const Plant plants[] = {
        {.what = "another user's, world-writable", .owner = kOtherUser, .mode = 0666, .refusal = "owned by uid 65534"},
        {.what = "another user's, empty", .owner = kOtherUser, .size_change = kEmpty, .refusal = "owned by uid 65534"},
        {.what = "a symbolic link", .symlink = true, .refusal = "symbolic link"},
        {.what = "own, world-writable", .mode = 0666},
        {.what = "own, wrong size", .size_change = 4096},
        {.what = "own, wrong magic", .magic = 1},
        {.what = "own, empty", .size_change = kEmpty},
        {.what = "own, empty, a number held", .size_change = kEmpty, .number_held = true, .refusal = "holds a number"},
    };
    std::uint64_t bytes = 0;
    std::uint64_t slot_count = 0;
    {
        Region region;
        auto client = attached(region);
        ASSERT_TRUE(client);
        bytes = static_cast<std::uint64_t>(stat_of(region.object_path()).st_size);
        slot_count = client->allocator().slot_count();
    }
    for (const Plant& plant : plants) {
        SCOPED_TRACE(plant.what);
        Region region;
        const std::string path = region.object_path();
        UniqueFd holder;
        if (plant.symlink) {
            ASSERT_EQ(::symlink(region.path().c_str(), path.c_str()), 0);
        } else {
            const auto size = plant.size_change == kEmpty ? 0 : bytes + plant.size_change;
            write_object(path, size, plant.magic, slot_count, 0, region.name());
            ASSERT_EQ(::chown(path.c_str(), plant.owner, plant.owner), 0);
            ASSERT_EQ(::chmod(path.c_str(), plant.mode), 0);
            holder = UniqueFd(::open(path.c_str(), O_RDWR));
            struct flock lock {.l_type = F_WRLCK, .l_whence = SEEK_SET, .l_start = 3, .l_len = 1, .l_pid = 0};
            if (plant.number_held) {
                ASSERT_EQ(::fcntl(holder.get(), F_OFD_SETLK, &lock), 0);
            }
        }
        const ino_t planted = stat_of(path).st_ino;
        auto client = RegionClient::attach(region.name());
        if (plant.refusal != nullptr) {
            ASSERT_FALSE(client.ok());
            EXPECT_NE(client.error().display().find(path), std::string::npos) << client.error().display();
            EXPECT_NE(client.error().display().find(plant.refusal), std::string::npos) << client.error().display();
            EXPECT_EQ(stat_of(path).st_ino, planted);
            ::unlink(path.c_str());
        } else {
            ASSERT_TRUE(client.ok()) << client.error().display();
            const struct stat made = stat_of(path);
            EXPECT_NE(made.st_ino, planted);
            EXPECT_EQ(made.st_uid, 0u);
            EXPECT_EQ(made.st_mode & 0777, 0600u);
            EXPECT_EQ(static_cast<std::uint64_t>(made.st_size), bytes);
        }
    }
}

TEST(CoordinationObject, MembersOfTheRegionsGroupShareItsObjectAndLeaveOneTheyMayNotRemove) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    Region region;
    ASSERT_EQ(::chown(region.path().c_str(), 0, kSharedGroup), 0);
    ASSERT_EQ(::chmod(region.path().c_str(), 0660), 0);
    const std::string path = region.object_path();
    const auto member_joins_as = [&](std::uint32_t number) {
        return [&region, number](Child& self) {
            if (!become_other_user()) return 2;
            auto client = RegionClient::attach(region.name());
            if (!client.ok() || client->peers().number() != number) return 3;
            self.go();
            self.wait();
            return 0;
        };
    };
    {
        // A member makes the object with the region's group and mode, and the owner trusts it.
        Child member(member_joins_as(0));
        member.wait();
        const struct stat made = stat_of(path);
        EXPECT_EQ(made.st_uid, kOtherUser);
        EXPECT_EQ(made.st_gid, kSharedGroup);
        EXPECT_EQ(made.st_mode & 0777, 0660u);
        auto owner = attached(region);
        ASSERT_TRUE(owner);
        EXPECT_EQ(owner->peers().number(), 1u);
        member.go();
        EXPECT_EQ(member.exit_code(), 0);
    }
    EXPECT_EQ(stat_of(path).st_ino, 0u);
    // The owner's object outlives a member who leaves last and may not remove it; it is joined again.
    auto owner = attached(region);
    Child member(member_joins_as(1));
    member.wait();
    const ino_t made = stat_of(path).st_ino;
    owner.reset();
    member.go();
    EXPECT_EQ(member.exit_code(), 0);
    EXPECT_EQ(stat_of(path).st_ino, made);
    owner = attached(region);
    EXPECT_EQ(owner->peers().number(), 0u);
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
    EXPECT_EQ(stat_of(region.object_path()).st_ino, made);
    std::this_thread::sleep_for(350ms);
    client.reset();
    EXPECT_EQ(stat_of(region.object_path()).st_ino, 0u);
}

TEST(CoordinationObject, TheSweepRemovesOnlyObjectsProvenStale) {
    constexpr int kAny = -1;
    struct Case {
        const char* what;
        bool removed;
        bool old_layout = false;
        bool region_exists = false;
        bool region_replaced = false;
        bool live_claim = false;
        bool number_held = false;
        int free_descriptors = kAny;
        bool other_user = false;
    };
    const Case cases[] = {
        {.what = "region gone", .removed = true},
        {.what = "previous layout, region gone", .removed = true, .old_layout = true},
        {.what = "region's name names another object", .removed = true, .region_exists = true, .region_replaced = true},
        {.what = "region exists", .removed = false, .region_exists = true},
        {.what = "a claim is live", .removed = false, .live_claim = true},
        {.what = "a number is held", .removed = false, .number_held = true},
        {.what = "no descriptor left to look the region up", .removed = false, .free_descriptors = 2},
        {.what = "one descriptor more", .removed = true, .free_descriptors = 3},
        {.what = "another user's, not removable", .removed = false, .other_user = true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.other_user && ::geteuid() != 0) continue;
        Region region;
        struct stat status = stat_of(region.path());
        const RegionIdentity identity{status.st_dev, status.st_ino + (c.region_replaced ? 1 : 0)};
        const std::string region_name = c.region_exists ? region.name() : region.name() + "-gone";
        std::string path = "/dev/shm" + coordination_object_name(identity);
        if (c.old_layout) path.replace(path.find("peers2"), 6, "peers");
        const auto claim = claim_ending_in(c.live_claim ? 10s : -1s);
        write_object(path, 4096 + 65536 + 4096, PEER_TABLE_MAGIC, 4, claim, region_name);
        ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
        UniqueFd holder(::open(path.c_str(), O_RDWR));
        struct flock lock {.l_type = F_WRLCK, .l_whence = SEEK_SET, .l_start = 5, .l_len = 1, .l_pid = 0};
        if (c.number_held) {
            ASSERT_EQ(::fcntl(holder.get(), F_OFD_SETLK, &lock), 0);
        }
        Child sweeper([&](Child&) {
            if (c.other_user && !become_other_user()) return 2;
            if (c.free_descriptors != kAny) leave_free_descriptors(c.free_descriptors);
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
    auto other = attached(region);  // keeps the object when the parent's client goes
    ASSERT_TRUE(parent && other);
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
    Region region;
    for (const bool object_exists : {false, true}) {
        // An existing object is opened, its name looked at again and mapped; a new one is made first.
        auto holder = object_exists ? attached(region) : std::nullopt;
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
