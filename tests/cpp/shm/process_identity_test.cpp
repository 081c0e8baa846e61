// Telling a client process that is exiting (its file locks still held) from one that may run on.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "zorvo/shm/process_identity.hpp"

namespace zorvo::shm {
namespace {

TEST(ProcessIdentity, OnlyAProcessWhoseThreadsAllExitCountsAsExitingAndOnlyWhenItIsTheOneRecorded) {
    const auto self = own_process_identity();
    ASSERT_TRUE(self);
    EXPECT_EQ(self->pid, static_cast<std::uint64_t>(::getpid()));
    EXPECT_FALSE(process_is_exiting(*self));

    // A child that sends its identity and exits, left unreaped: every thread of it has exited.
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        const ProcessIdentity sent = own_process_identity().value_or(ProcessIdentity{});
        ::_exit(::write(pipe_fds[1], &sent, sizeof sent) == sizeof sent ? 0 : 2);
    }
    ProcessIdentity exited;
    ASSERT_EQ(::read(pipe_fds[0], &exited, sizeof exited), static_cast<ssize_t>(sizeof exited));
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    ASSERT_EQ(exited.pid, static_cast<std::uint64_t>(child));
    siginfo_t info{};
    ASSERT_EQ(::waitid(P_PID, child, &info, WEXITED | WNOWAIT), 0);  // exited, not yet reaped
    EXPECT_TRUE(process_is_exiting(exited));
    // Another process under the same id, or an id from another pid namespace, proves nothing.
    ProcessIdentity reused = exited;
    ++reused.start_time;
    EXPECT_FALSE(process_is_exiting(reused));
    ProcessIdentity elsewhere = exited;
    ++elsewhere.pid_namespace;
    EXPECT_FALSE(process_is_exiting(elsewhere));
    ::waitpid(child, nullptr, 0);
}

}  // namespace
}  // namespace zorvo::shm
