#include "zorvo/shm/tensor_block.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

#include "zorvo/common/little_endian.hpp"

namespace zorvo::shm {
namespace {

using wire::TensorDtype;

TEST(TensorBlock, WritesHeaderDimsAndDataAtTheSlot) {
    std::vector<std::uint8_t> region(400, 0xEE);
    std::vector<std::uint8_t> data(48);
    std::iota(data.begin(), data.end(), 1);
    const std::int64_t shape[] = {2, 3};
    ASSERT_TRUE(write_tensor_block(region, 100, shape, TensorDtype::Int64, data).ok());

    const std::uint8_t* block = region.data() + 100;
    EXPECT_EQ(load_le<std::uint32_t>(block), 2u);
    EXPECT_EQ(block[4], 3);
    EXPECT_EQ(block[5], 0);
    EXPECT_EQ(block[6], 0);
    EXPECT_EQ(block[7], 0);
    EXPECT_EQ(load_le<std::int64_t>(block + 8), 2);
    EXPECT_EQ(load_le<std::int64_t>(block + 16), 3);
    for (int i = 2; i < 8; ++i) EXPECT_EQ(load_le<std::int64_t>(block + 8 + 8 * i), 0) << i;
    EXPECT_EQ(load_le<std::uint64_t>(block + 72), 48u);
    EXPECT_EQ(std::memcmp(block + 80, data.data(), 48), 0);
    EXPECT_EQ(region[99], 0xEE);   // nothing before the block
    EXPECT_EQ(region[228], 0xEE);  // nor after its 128 bytes
}

TEST(TensorBlock, DtypeCodesAndScalarShapes) {
    EXPECT_EQ(dtype_code(TensorDtype::Float32), 0);
    EXPECT_EQ(dtype_code(TensorDtype::Float64), 1);
    EXPECT_EQ(dtype_code(TensorDtype::Int32), 2);
    EXPECT_EQ(dtype_code(TensorDtype::Int64), 3);
    EXPECT_EQ(dtype_code(TensorDtype::Float16), 0);
    EXPECT_EQ(dtype_code(TensorDtype::Uint8), 0);
    EXPECT_EQ(dtype_code(TensorDtype::String), 0);

    std::vector<std::uint8_t> region(80, 0xFF);
    ASSERT_TRUE(write_tensor_block(region, 0, {}, TensorDtype::Float64, {}).ok());
    EXPECT_EQ(load_le<std::uint32_t>(region.data()), 0u);
    EXPECT_EQ(region[4], 1);
    for (int i = 5; i < 80; ++i) EXPECT_EQ(region[i], 0) << i;
}

TEST(TensorBlock, RefusesShapesAndSlotsThatDoNotFit) {
    std::vector<std::uint8_t> region(200, 0xEE);
    const std::vector<std::int64_t> nine(9, 1);
    auto too_deep = write_tensor_block(region, 0, nine, TensorDtype::Float32, {});
    ASSERT_FALSE(too_deep.ok());
    EXPECT_EQ(too_deep.error(), "shape has 9 dimensions; at most 8 fit in a shared-memory tensor block");
    const std::vector<std::int64_t> eight(8, 5);
    EXPECT_TRUE(write_tensor_block(region, 0, eight, TensorDtype::Float32, {}).ok());

    const std::vector<std::uint8_t> data(21);
    region.assign(200, 0xEE);
    EXPECT_FALSE(write_tensor_block(region, 100, {}, TensorDtype::Float32, data).ok());
    EXPECT_FALSE(write_tensor_block(region, UINT64_MAX - 10, {}, TensorDtype::Float32, data).ok());
    EXPECT_EQ(region, std::vector<std::uint8_t>(200, 0xEE));
    EXPECT_TRUE(write_tensor_block(region, 99, {}, TensorDtype::Float32, data).ok());
}

std::vector<std::uint8_t> region_with_block_at(std::size_t size, std::size_t offset, std::uint64_t data_len) {
    std::vector<std::uint8_t> region(size, 0);
    store_le(region.data() + offset + 72, data_len);
    for (std::size_t i = offset + 80; i < size; ++i) region[i] = static_cast<std::uint8_t>(i);
    return region;
}

TEST(ResultBlock, DataIsReadOnlyWhenItLiesInsideTheRegion) {
    auto region = region_with_block_at(300, 100, 120);
    auto data = read_tensor_data(region, 100);
    ASSERT_TRUE(data.ok()) << data.error();
    EXPECT_EQ(data.value().size(), 120u);
    EXPECT_EQ(data.value().data(), region.data() + 180);

    region = region_with_block_at(300, 100, 121);
    auto past_end = read_tensor_data(region, 100);
    ASSERT_FALSE(past_end.ok());
    EXPECT_EQ(past_end.error(),
              "result tensor block at offset 100 with length 121 lies outside the 300-byte shared memory region");

    region = region_with_block_at(300, 100, UINT64_MAX - 100);  // offset + 80 + length wraps round
    EXPECT_FALSE(read_tensor_data(region, 100).ok());

    auto header_outside = read_tensor_data(region, 221);
    ASSERT_FALSE(header_outside.ok());
    EXPECT_EQ(header_outside.error(),
              "result tensor block at offset 221 lies outside the 300-byte shared memory region");
    EXPECT_FALSE(read_tensor_data(region, UINT64_MAX).ok());

    region = region_with_block_at(180, 100, 0);
    auto empty = read_tensor_data(region, 100);
    ASSERT_TRUE(empty.ok());
    EXPECT_TRUE(empty.value().empty());
}

TEST(ErrorTextBlock, TextIsLossyUtf8AndBoundsChecked) {
    std::vector<std::uint8_t> region(64, 0);
    const std::uint8_t text[] = {'b', 'a', 'd', ' ', 0xFF, 0xC3, 0xA9};
    store_le(region.data() + 10, std::uint64_t{sizeof text});
    std::memcpy(region.data() + 18, text, sizeof text);
    auto read = read_error_text(region, 10);
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(read.value(), "bad \xEF\xBF\xBD\xC3\xA9");

    store_le(region.data() + 10, std::uint64_t{47});
    EXPECT_FALSE(read_error_text(region, 10).ok());
    store_le(region.data() + 10, std::uint64_t{46});
    EXPECT_TRUE(read_error_text(region, 10).ok());
    store_le(region.data() + 10, UINT64_MAX - 10);
    EXPECT_FALSE(read_error_text(region, 10).ok());
    auto outside = read_error_text(region, 57);
    ASSERT_FALSE(outside.ok());
    EXPECT_EQ(outside.error(), "error text block at offset 57 lies outside the 64-byte shared memory region");
}

}  // namespace
}  // namespace zorvo::shm
