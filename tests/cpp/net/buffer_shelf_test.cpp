#include "zorvo/net/buffer_shelf.hpp"

#include <memory>
#include <vector>

#include <gtest/gtest.h>

namespace zorvo::net {
namespace {

constexpr std::size_t kMin = BufferShelf::kMinBytes;

ByteBuffer buffer_of(std::size_t capacity) {
    ByteBuffer buffer;
    buffer.reserve(capacity);
    buffer.resize(capacity / 3);  // a size below the capacity, as a received payload may leave it
    return buffer;
}

TEST(BufferShelf, TakesBackOnlyBuffersWhoseCapacityFitsTheSize) {
    BufferShelf shelf;
    ByteBuffer given = buffer_of(4 * kMin);
    const std::uint8_t* memory = given.data();
    shelf.give_back(std::move(given));
    EXPECT_EQ(shelf.spare_bytes(), 4 * kMin);

    EXPECT_FALSE(shelf.take(4 * kMin + 1));  // too small
    EXPECT_FALSE(shelf.take(2 * kMin - 1));  // more than twice the size: would hoard
    auto taken = shelf.take(3 * kMin);
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->data(), memory);  // the same memory, not a copy
    EXPECT_EQ(taken->size(), 3 * kMin);
    EXPECT_EQ(shelf.spare_count(), 0u);
    EXPECT_EQ(shelf.spare_bytes(), 0u);
    EXPECT_FALSE(shelf.take(3 * kMin));
}

TEST(BufferShelf, KeepsAFewLargeBuffersWithinItsTotal) {
    BufferShelf shelf;
    shelf.give_back(buffer_of(kMin - 1));  // small buffers are not worth keeping
    EXPECT_EQ(shelf.spare_count(), 0u);
    EXPECT_FALSE(shelf.take(kMin - 1));

    for (std::size_t i = 0; i < BufferShelf::kMaxBuffers + 2; ++i) shelf.give_back(buffer_of(kMin));
    EXPECT_EQ(shelf.spare_count(), BufferShelf::kMaxBuffers);

    BufferShelf full;
    const std::size_t big = BufferShelf::kMaxBytes / 2;
    full.give_back(buffer_of(big));
    full.give_back(buffer_of(big));
    full.give_back(buffer_of(kMin));  // would pass the total
    EXPECT_EQ(full.spare_count(), 2u);
    EXPECT_EQ(full.spare_bytes(), BufferShelf::kMaxBytes);
}

TEST(ShelvedBuffer, GoesBackWhenDroppedWhileItsShelfLives) {
    auto shelf = std::make_shared<BufferShelf>();
    ByteBuffer first = buffer_of(kMin);
    const std::uint8_t* memory = first.data();
    {
        ShelvedBuffer held(std::move(first), shelf);
        ShelvedBuffer moved = std::move(held);  // the moved-from one has nothing to give back
        EXPECT_EQ(moved.bytes().data(), memory);
        EXPECT_EQ(shelf->spare_count(), 0u);
    }
    EXPECT_EQ(shelf->spare_count(), 1u);

    ShelvedBuffer assigned(buffer_of(2 * kMin), shelf);
    assigned = ShelvedBuffer(*shelf->take(kMin), shelf);  // the replaced buffer goes back at once
    EXPECT_EQ(assigned.bytes().data(), memory);
    EXPECT_EQ(shelf->spare_bytes(), 2 * kMin);

    // A buffer does not keep its shelf alive: the shelf goes with its client.
    ShelvedBuffer orphan(buffer_of(kMin), shelf);
    const std::weak_ptr<BufferShelf> watched = shelf;
    shelf.reset();
    EXPECT_TRUE(watched.expired());
}

}  // namespace
}  // namespace zorvo::net
