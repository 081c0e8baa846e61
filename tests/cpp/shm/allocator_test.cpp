#include "zorvo/shm/allocator.hpp"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

namespace zorvo::shm {
namespace {

using namespace std::chrono_literals;

struct Expected {
    std::string name;
    std::uint64_t base;
    std::uint64_t slot_size;
    std::uint64_t slots;
};

void expect_layout(const TieredShmAllocator& allocator, const std::vector<Expected>& expected) {
    const auto classes = allocator.classes();
    ASSERT_EQ(classes.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i].name);
        EXPECT_EQ(classes[i].name, expected[i].name);
        EXPECT_EQ(classes[i].base_offset, expected[i].base);
        EXPECT_EQ(classes[i].slot_size, expected[i].slot_size);
        EXPECT_EQ(classes[i].slot_count, expected[i].slots);
        EXPECT_EQ(classes[i].total_bytes, expected[i].slots * expected[i].slot_size);
    }
}

TEST(TieredAllocatorLayout, DefaultClassesOver256MiBUseTheWholePool) {
    auto allocator = TieredShmAllocator::new_with_default_classes(4096, 268435456, 30s);
    expect_layout(allocator, {{"class0", 4096, 262144, 4},
                              {"class1", 1052672, 1048576, 3},
                              {"class2", 4198400, 4194304, 3},
                              {"class3", 16781312, 16777216, 3},
                              {"class4", 67112960, 67108864, 3}});
    EXPECT_EQ(allocator.layout_summary(),
              "class0(base=4096 slot_size=262144 slots=4), "
              "class1(base=1052672 slot_size=1048576 slots=3), "
              "class2(base=4198400 slot_size=4194304 slots=3), "
              "class3(base=16781312 slot_size=16777216 slots=3), "
              "class4(base=67112960 slot_size=67108864 slots=3)");
    EXPECT_EQ(allocator.largest_slot_size(), 67108864u);
    std::uint64_t used = 0;
    for (const auto& c : allocator.classes()) used += c.total_bytes;
    EXPECT_EQ(used, 268435456u);
}

TEST(TieredAllocatorLayout, DefaultClassesOver100MiB) {
    auto allocator = TieredShmAllocator::new_with_default_classes(4096, 104857600, 30s);
    expect_layout(allocator, {{"class0", 4096, 262144, 8},
                              {"class1", 2101248, 1048576, 6},
                              {"class2", 8392704, 4194304, 3},
                              {"class3", 20975616, 16777216, 1},
                              {"class4", 37752832, 67108864, 1}});
}

TEST(TieredAllocatorLayout, SmallPoolsFallBackToFewerClasses) {
    auto one_mib = TieredShmAllocator::new_with_default_classes(4096, 1048576, 30s);
    expect_layout(one_mib, {{"class0", 4096, 262144, 4}});
    EXPECT_EQ(one_mib.largest_slot_size(), 262144u);

    auto tiny = TieredShmAllocator::new_with_default_classes(4096, 200000, 30s);
    expect_layout(tiny, {{"class0", 4096, 200000, 1}});
    EXPECT_EQ(tiny.layout_summary(), "class0(base=4096 slot_size=200000 slots=1)");

    auto empty = TieredShmAllocator::new_with_default_classes(4096, 0, 30s);
    expect_layout(empty, {{"class0", 4096, 1, 1}});
    EXPECT_EQ(empty.try_allocate(2), std::nullopt);
    EXPECT_EQ(empty.try_allocate(1), std::optional<std::uint64_t>(4096));
}

TEST(TieredAllocatorLayout, BudgetsAreFilteredSortedAndMerged) {
    const std::vector<ClassBudget> budgets = {{1048576, 2}, {262144, 0}, {0, 5}, {1048576, 1}};
    auto allocator = TieredShmAllocator::new_with_class_budgets(0, 4 * 1048576, budgets, 30s);
    expect_layout(allocator, {{"class0", 0, 1048576, 4}});

    // Weights of merged classes saturate instead of wrapping round to a tiny weight.
    // Wrapped, the merged weight would be 9 and the 200-byte class would win most rounds.
    const std::vector<ClassBudget> heavy = {{100, 4294967295u}, {100, 10}, {200, 1000}};
    auto saturated = TieredShmAllocator::new_with_class_budgets(0, 2300, heavy, 30s);
    expect_layout(saturated, {{"class0", 0, 100, 21}, {"class1", 2100, 200, 1}});
}

TEST(TieredAllocatorLayout, SkippedClassesKeepTheirIndexInNames) {
    // 300 bytes: class0 (100) and class1 (200) fit once each in the first pass; class2 never does.
    const std::vector<ClassBudget> budgets = {{100, 1}, {200, 1}, {5000, 1}, {50, 1}};
    auto allocator = TieredShmAllocator::new_with_class_budgets(10, 350, budgets, 30s);
    expect_layout(allocator, {{"class0", 10, 50, 1}, {"class1", 60, 100, 1}, {"class2", 160, 200, 1}});

    const std::vector<ClassBudget> gap = {{100, 1}, {5000, 1}, {200, 1}};
    auto gapped = TieredShmAllocator::new_with_class_budgets(0, 100, gap, 30s);
    expect_layout(gapped, {{"class0", 0, 100, 1}});
    auto with_hole = TieredShmAllocator::new_with_class_budgets(0, 300, gap, 30s);
    expect_layout(with_hole, {{"class0", 0, 100, 1}, {"class1", 100, 200, 1}});
    const std::vector<ClassBudget> middle_missing = {{10, 1}, {1000, 1}, {20, 1}};
    auto names = TieredShmAllocator::new_with_class_budgets(0, 30, middle_missing, 30s);
    expect_layout(names, {{"class0", 0, 10, 1}, {"class1", 10, 20, 1}});
    // A class too large to fit still counts in the round robin's total weight.
    auto partial = TieredShmAllocator::new_with_class_budgets(
        0, 1030, std::vector<ClassBudget>{{10, 1}, {2000, 1}, {1000, 1}}, 30s);
    expect_layout(partial, {{"class0", 0, 10, 3}, {"class1", 30, 1000, 1}});
}

TEST(TieredAllocatorAllocation, FallsBackToLargerClassesAndRefusesImpossibleSizes) {
    auto allocator = TieredShmAllocator::new_with_default_classes(4096, 268435456, 30s);
    EXPECT_EQ(allocator.try_allocate(0), std::nullopt);
    EXPECT_EQ(allocator.try_allocate(67108865), std::nullopt);

    std::set<std::uint64_t> one_mib;
    for (int i = 0; i < 3; ++i) {
        auto offset = allocator.try_allocate(262145);
        ASSERT_TRUE(offset.has_value());
        EXPECT_GE(*offset, 1052672u);
        EXPECT_LT(*offset, 4198400u);
        EXPECT_EQ((*offset - 1052672) % 1048576, 0u);
        one_mib.insert(*offset);
    }
    EXPECT_EQ(one_mib.size(), 3u);
    auto spill = allocator.try_allocate(262145);
    ASSERT_TRUE(spill.has_value());
    EXPECT_GE(*spill, 4198400u);
    EXPECT_LT(*spill, 16781312u);
}

// Offsets map to slots by a shift for power-of-two slot sizes and by a division otherwise.
class ReleaseAcceptsOnlySlotStarts : public testing::TestWithParam<std::uint64_t> {};

TEST_P(ReleaseAcceptsOnlySlotStarts, AndFreesThatSlot) {
    const std::uint64_t slot_size = GetParam();
    const std::vector<ClassBudget> budgets = {{slot_size, 1}};
    auto allocator = TieredShmAllocator::new_with_class_budgets(4096, 3 * slot_size, budgets, 30s);
    std::vector<std::uint64_t> taken;
    while (auto offset = allocator.try_allocate(slot_size)) taken.push_back(*offset);
    ASSERT_EQ(taken.size(), 3u);
    const std::uint64_t last = 4096 + 2 * slot_size;
    EXPECT_FALSE(allocator.release(last + 1));
    EXPECT_FALSE(allocator.release(last - 8));
    EXPECT_FALSE(allocator.release(4095));
    EXPECT_FALSE(allocator.release(4096 + 3 * slot_size));
    EXPECT_EQ(allocator.try_allocate(slot_size), std::nullopt);
    EXPECT_TRUE(allocator.release(last));
    EXPECT_TRUE(allocator.release(last));  // already free is still a slot start
    EXPECT_EQ(allocator.try_allocate(slot_size), std::optional<std::uint64_t>(last));
}

INSTANTIATE_TEST_SUITE_P(SlotSizes, ReleaseAcceptsOnlySlotStarts, testing::Values(262144, 200000));

TEST(TieredAllocatorAllocation, ExhaustedClassRecoversAfterRelease) {
    auto allocator = TieredShmAllocator::new_with_default_classes(0, 1048576, 30s);
    std::vector<std::uint64_t> taken;
    for (int i = 0; i < 4; ++i) {
        auto offset = allocator.try_allocate(1000);
        ASSERT_TRUE(offset.has_value());
        taken.push_back(*offset);
    }
    EXPECT_EQ(allocator.try_allocate(1000), std::nullopt);
    ASSERT_TRUE(allocator.release(taken[2]));
    EXPECT_EQ(allocator.try_allocate(1000), std::optional<std::uint64_t>(taken[2]));
}

TEST(SimpleAllocator, SearchesStartAtConsecutiveSlots) {
    SimpleShmAllocator allocator(1000, 10, 4, 30s);
    // Each search starts one slot further on, even when earlier slots are free again.
    for (std::uint64_t round = 0; round < 8; ++round) {
        auto offset = allocator.try_allocate(10);
        ASSERT_TRUE(offset.has_value());
        EXPECT_EQ(*offset, 1000 + (round % 4) * 10);
        ASSERT_TRUE(allocator.release(*offset));
    }
    EXPECT_EQ(allocator.try_allocate(11), std::nullopt);
    EXPECT_EQ(allocator.try_allocate(0), std::nullopt);
}

TEST(SimpleAllocator, ExpiredLeasesAreHandedOutAgain) {
    SimpleShmAllocator allocator(0, 64, 2, 50ms);
    auto first = allocator.try_allocate(64);
    auto second = allocator.try_allocate(64);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(allocator.try_allocate(64), std::nullopt);

    std::this_thread::sleep_for(80ms);
    std::set<std::uint64_t> again;
    for (int i = 0; i < 2; ++i) {
        auto offset = allocator.try_allocate(64);
        ASSERT_TRUE(offset.has_value());
        again.insert(*offset);
    }
    EXPECT_EQ(again, (std::set<std::uint64_t>{*first, *second}));
    EXPECT_EQ(allocator.try_allocate(64), std::nullopt);  // the new leases hold
}

TEST(SimpleAllocator, ConcurrentLeasesNeverShareASlot) {
    SimpleShmAllocator allocator(0, 8, 64, 30s);
    std::vector<std::vector<std::uint64_t>> per_thread(4);
    std::vector<std::thread> threads;
    for (auto& mine : per_thread) {
        threads.emplace_back([&allocator, &mine] {
            while (auto offset = allocator.try_allocate(8)) mine.push_back(*offset);
        });
    }
    for (auto& t : threads) t.join();
    std::set<std::uint64_t> all;
    std::size_t total = 0;
    for (const auto& mine : per_thread) {
        total += mine.size();
        all.insert(mine.begin(), mine.end());
    }
    EXPECT_EQ(total, 64u);
    EXPECT_EQ(all.size(), 64u);
}

}  // namespace
}  // namespace zorvo::shm
