#include "zorvo/shm/region.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_region.hpp"
#include "zorvo/common/little_endian.hpp"
#include "zorvo/shm/log.hpp"

namespace zorvo::shm {
namespace {

using testing::StandardLayout;
using testing::TestRegion;

std::string connect_error(std::string_view name) {
    auto result = ShmManager::connect(name);
    return result.ok() ? std::string("connected") : result.error().display();
}

TEST(RegionConnect, OpenFailuresCarryTheErrorNumber) {
    EXPECT_EQ(connect_error("/zorvo-no-such-region-anywhere"),
              "Shared memory error: Opening the shared memory failed, os error 2");
    EXPECT_EQ(connect_error(std::string(4096, 'a')),
              "Shared memory error: Opening the shared memory failed, os error 36");
    EXPECT_EQ(connect_error(std::string("/zorvo\0x", 8)),
              "Shared memory error: Opening the shared memory failed, os error 22");
    TestRegion empty(0);
    EXPECT_EQ(connect_error(empty.name()),
              "Shared memory error: Opening the shared memory failed, os error 22");
}

TEST(RegionConnect, ForeignOrOutdatedRegionsAreRefused) {
    TestRegion region(StandardLayout::region_size(4096));
    RegionHeader header = StandardLayout::header(4096);
    header.magic = 0x12345678;
    header.version = 2;  // the magic is checked first
    region.write_header(header);
    EXPECT_EQ(connect_error(region.name()), "Invalid magic number in shared memory");

    header.magic = SHM_MAGIC;
    region.write_header(header);
    EXPECT_EQ(connect_error(region.name()), "Shared memory version mismatch");
}

TEST(RegionConnect, AttachesReadsTheHeaderAndLeavesTheObjectInPlace) {
    TestRegion region(StandardLayout::region_size(1048576));
    region.write_header(StandardLayout::header(1048576, 17));
    {
        auto first = ShmManager::connect(region.name());
        ASSERT_TRUE(first.ok()) << first.error().display();
        EXPECT_EQ(first->size(), StandardLayout::region_size(1048576));
        EXPECT_EQ(first->header().tensor_pool_offset, StandardLayout::pool);
        EXPECT_EQ(first->header().tensor_pool_size, 1048576u);
        EXPECT_EQ(first->header().notify_fd, 17);
        // Writes through the mapping reach the engine's side of the object.
        first->base()[StandardLayout::pool] = 0x5A;
        EXPECT_EQ(region.base()[StandardLayout::pool], 0x5A);
    }
    auto second = ShmManager::connect(region.name());
    ASSERT_TRUE(second.ok());
    EXPECT_EQ(second->base()[StandardLayout::pool], 0x5A);
}

std::vector<std::string> captured;
void capture(const log::Record& record) {
    captured.push_back(std::string(record.target) + "|" + std::string(record.text));
}

TEST(RegionConnect, ConnectRecordReachesOnlyAnInstalledSinkWithInfoEnabled) {
    TestRegion region(StandardLayout::region_size(0));
    region.write_header(StandardLayout::header(0));
    captured.clear();
    EXPECT_EQ(log::max_level(), log::Level::Off);
    log::set_sink(&capture);
    ASSERT_TRUE(ShmManager::connect(region.name()).ok());
    EXPECT_TRUE(captured.empty());

    log::set_max_level(log::Level::Info);
    ASSERT_TRUE(ShmManager::connect(region.name()).ok());
    log::set_max_level(log::Level::Off);
    log::set_sink(nullptr);
    ASSERT_EQ(captured.size(), 1u);
    EXPECT_EQ(captured[0], "zorvo_shm::memory|Connected to shared memory region '" + region.name() +
                               "' of size " + std::to_string(StandardLayout::pool) + " bytes");
}

// Region validation on plain memory: the header's offsets are not trusted.
struct RegionImage {
    std::vector<std::uint64_t> words;
    explicit RegionImage(std::uint64_t size) : words((size + 7) / 8, 0), size(size) {}
    std::uint64_t size;
    std::span<std::uint8_t> bytes() { return {reinterpret_cast<std::uint8_t*>(words.data()), size}; }
    void write(const RegionHeader& header) { encode_region_header(header, bytes().first<REGION_HEADER_SIZE>()); }
    std::string check() {
        auto result = validate_region(bytes());
        return result.ok() ? std::string("ok") : result.error().display();
    }
};

TEST(RegionValidation, HeaderFieldsRoundTrip) {
    RegionImage image(64);
    RegionHeader header{SHM_MAGIC, SHM_VERSION, 1, 2, 3, 4, -9};
    image.write(header);
    EXPECT_EQ(image.bytes()[0], 0x4F);
    EXPECT_EQ(image.bytes()[3], 0x41);
    const RegionHeader back = decode_region_header(image.bytes().first<REGION_HEADER_SIZE>());
    EXPECT_EQ(back.request_queue_offset, 1u);
    EXPECT_EQ(back.response_queue_offset, 2u);
    EXPECT_EQ(back.tensor_pool_offset, 3u);
    EXPECT_EQ(back.tensor_pool_size, 4u);
    EXPECT_EQ(back.notify_fd, -9);
}

TEST(RegionValidation, RegionsTooSmallForTheirHeaderAreRefused) {
    RegionImage image(43);
    store_le(image.bytes().data(), SHM_MAGIC);
    store_le(image.bytes().data() + 4, SHM_VERSION);
    EXPECT_EQ(image.check(), "Shared memory error: region of 43 bytes is too small for its 44-byte header");
    RegionImage three(3);
    EXPECT_EQ(three.check(), "Shared memory error: region of 3 bytes is too small for its 44-byte header");
    RegionImage foreign(6);
    EXPECT_EQ(foreign.check(), "Invalid magic number in shared memory");
}

TEST(RegionValidation, QueuesAndPoolMustLieInsideTheMapping) {
    const std::uint64_t size = StandardLayout::region_size(4096);
    RegionImage image(size);
    const std::string outside = "Shared memory error: region header describes queues or a tensor pool outside the " +
                                std::to_string(size) + "-byte mapping";

    image.write(StandardLayout::header(4096));
    EXPECT_EQ(image.check(), "ok");

    RegionHeader header = StandardLayout::header(4097);
    image.write(header);
    EXPECT_EQ(image.check(), outside);

    header = StandardLayout::header(16);
    header.tensor_pool_offset = UINT64_MAX - 8;  // offset + size wraps round
    image.write(header);
    EXPECT_EQ(image.check(), outside);

    header = StandardLayout::header(4096);
    header.response_queue_offset = size - RESPONSE_QUEUE_BYTES + 8;
    image.write(header);
    EXPECT_EQ(image.check(), outside);

    header = StandardLayout::header(4096);
    header.request_queue_offset = UINT64_MAX - 7;
    image.write(header);
    EXPECT_EQ(image.check(), outside);

    header = StandardLayout::header(4096);
    header.response_queue_offset = StandardLayout::response_queue + 4;
    image.write(header);
    EXPECT_EQ(image.check(), "Shared memory error: region header places the response queue at offset " +
                                 std::to_string(StandardLayout::response_queue + 4) +
                                 ", which is not a multiple of 8");
}

}  // namespace
}  // namespace zorvo::shm
