#include "zorvo/net/buffer_shelf.hpp"

#include <memory>

#include <gtest/gtest.h>

namespace zorvo::net {
namespace {

constexpr std::size_t kMin = BufferShelf::kMinBytes;

ByteBuffer buffer_of(std::size_t capacity) {
    ByteBuffer buffer;
    buffer.reserve(capacity);
    return buffer;
}

TEST(BufferShelf, LendsItsMemoryOnlyToFittingSizesAndKeepsLittle) {
    BufferShelf shelf;
    ByteBuffer given = buffer_of(4 * kMin);
    const std::uint8_t* memory = given.data();
    shelf.give_back(std::move(given));
    EXPECT_FALSE(shelf.take(4 * kMin + 1));  // too small
    EXPECT_FALSE(shelf.take(2 * kMin - 1));  // over twice the size: would hoard
    auto taken = shelf.take(3 * kMin);
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->data(), memory);
    EXPECT_EQ(taken->size(), 3 * kMin);

    shelf.give_back(buffer_of(kMin - 1));
    for (std::size_t i = 0; i <= BufferShelf::kMaxBuffers; ++i) shelf.give_back(buffer_of(kMin));
    EXPECT_EQ(shelf.spare_bytes(), BufferShelf::kMaxBuffers * kMin);
    BufferShelf full;
    for (int i = 0; i < 3; ++i) full.give_back(buffer_of(BufferShelf::kMaxBytes / 2));
    EXPECT_EQ(full.spare_bytes(), BufferShelf::kMaxBytes);
}

TEST(ShelvedBuffer, GoesBackWhenReplacedOrDroppedAndNeverKeepsItsShelfAlive) {
    auto shelf = std::make_shared<BufferShelf>();
    const std::weak_ptr<BufferShelf> watched = shelf;
    ShelvedBuffer held(buffer_of(kMin), shelf);
    held = ShelvedBuffer(buffer_of(2 * kMin), shelf);
    EXPECT_EQ(shelf->spare_bytes(), kMin);
    { ShelvedBuffer dropped = std::move(held); }  // the moved-from one gives nothing back
    EXPECT_EQ(shelf->spare_bytes(), 3 * kMin);
    ShelvedBuffer orphan(buffer_of(kMin), shelf);
    shelf.reset();  // the client went away; its results stay
    EXPECT_TRUE(watched.expired());
}

}  // namespace
}  // namespace zorvo::net
