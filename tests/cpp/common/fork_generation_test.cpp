#include "zorvo/common/fork_generation.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zorvo {
namespace {

TEST(ForkGeneration, RisesInTheChildOnlyAndPerFork) {
    const auto parent = fork_generation();
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const auto child = fork_generation();
        int status = child == parent + 1 ? 0 : 1;
        if (status == 0) {
            // A grandchild counts both forks.
            const pid_t inner = ::fork();
            if (inner == 0) ::_exit(fork_generation() == parent + 2 ? 0 : 1);
            int inner_status = 1;
            ::waitpid(inner, &inner_status, 0);
            status = WIFEXITED(inner_status) && WEXITSTATUS(inner_status) == 0 ? 0 : 2;
        }
        ::_exit(status);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(fork_generation(), parent);
}

}  // namespace
}  // namespace zorvo
