// Telling a client process that is exiting (its file locks still held) from one that may run on.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "zorvo/shm/process_identity.hpp"

namespace zorvo::shm {
namespace {

// A child that sends its identity, then waits for `exit_now` to be written, then exits unreaped.
struct Child {
    Child() {
        int to_parent[2];
        int to_child[2];
        EXPECT_EQ(::pipe(to_parent), 0);
        EXPECT_EQ(::pipe(to_child), 0);
        pid = ::fork();
        if (pid == 0) {
            const auto self = own_process_identity();
            const ProcessIdentity sent = self.value_or(ProcessIdentity{});
            if (::write(to_parent[1], &sent, sizeof sent) != sizeof sent) ::_exit(2);
            char go = 0;
            if (::read(to_child[0], &go, 1) != 1) ::_exit(3);
            ::_exit(0);
        }
        EXPECT_EQ(::read(to_parent[0], &identity, sizeof identity), static_cast<ssize_t>(sizeof identity));
        go = to_child[1];
        ::close(to_parent[0]);
        ::close(to_parent[1]);
        ::close(to_child[0]);
    }
    ~Child() {
        ::close(go);
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    void exit_unreaped() {
        EXPECT_EQ(::write(go, "x", 1), 1);
        for (int polls = 0; polls < 2000 && state() != 'Z'; ++polls) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    char state() const {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        std::getline(stat, line);
        const auto close = line.rfind(')');
        return close == std::string::npos || close + 2 >= line.size() ? '?' : line[close + 2];
    }

    pid_t pid = -1;
    int go = -1;
    ProcessIdentity identity;
};

TEST(ProcessIdentity, OnlyAProcessWhoseThreadsAllExitCountsAsExitingAndOnlyWhenItIsTheOneRecorded) {
    const auto self = own_process_identity();
    ASSERT_TRUE(self);
    EXPECT_EQ(self->pid, static_cast<std::uint64_t>(::getpid()));
    EXPECT_FALSE(process_is_exiting(*self));

    Child child;
    ASSERT_EQ(child.identity.pid, static_cast<std::uint64_t>(child.pid));
    EXPECT_FALSE(process_is_exiting(child.identity));  // waiting in a read
    child.exit_unreaped();
    ASSERT_EQ(child.state(), 'Z');
    EXPECT_TRUE(process_is_exiting(child.identity));
    // Another process under the same id, or an id from another pid namespace, proves nothing.
    ProcessIdentity reused = child.identity;
    ++reused.start_time;
    EXPECT_FALSE(process_is_exiting(reused));
    ProcessIdentity elsewhere = child.identity;
    ++elsewhere.pid_namespace;
    EXPECT_FALSE(process_is_exiting(elsewhere));
}

}  // namespace
}  // namespace zorvo::shm
