#include "zorvo/common/processors.hpp"

#include <gtest/gtest.h>
#include <sched.h>

namespace zorvo {
namespace {

TEST(Processors, CgroupV2QuotaRoundsUpToWholeProcessors) {
    EXPECT_EQ(processors_from_cpu_max("200000 100000\n"), 2u);
    EXPECT_EQ(processors_from_cpu_max("150000 100000\n"), 2u);
    EXPECT_EQ(processors_from_cpu_max("50000 100000"), 1u);
    EXPECT_EQ(processors_from_cpu_max("1 100000"), 1u);
    EXPECT_EQ(processors_from_cpu_max("max 100000\n"), std::nullopt);
    for (const char* broken : {"", "100000", "abc 100000", "100000 0", "0 100000", "-5 100000", "1 2 3"}) {
        EXPECT_EQ(processors_from_cpu_max(broken), std::nullopt) << broken;
    }
}

TEST(Processors, CgroupV1QuotaRoundsUpAndMinusOneMeansNone) {
    EXPECT_EQ(processors_from_cfs("300000\n", "100000\n"), 3u);
    EXPECT_EQ(processors_from_cfs("250000", "100000"), 3u);
    EXPECT_EQ(processors_from_cfs("-1\n", "100000\n"), std::nullopt);
    EXPECT_EQ(processors_from_cfs("100000", ""), std::nullopt);
}

TEST(Processors, AvailableCountStaysWithinTheAffinityMask) {
    cpu_set_t set;
    ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
    const std::size_t available = available_processors();
    EXPECT_GE(available, 1u);
    EXPECT_LE(available, static_cast<std::size_t>(CPU_COUNT(&set)));

    // A narrower mask is seen at once: a pinned process gets one worker.
    cpu_set_t one;
    CPU_ZERO(&one);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &set)) {
            CPU_SET(cpu, &one);
            break;
        }
    }
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    const std::size_t pinned = available_processors();
    ASSERT_EQ(sched_setaffinity(0, sizeof set, &set), 0);
    EXPECT_EQ(pinned, 1u);
}

}  // namespace
}  // namespace zorvo
