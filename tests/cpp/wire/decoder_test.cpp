#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "zorvo/wire/decoder.hpp"
#include "zorvo/wire/encoder.hpp"
#include "zorvo/wire/transport_metadata.hpp"

namespace zorvo::wire {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes with_count(std::uint64_t count, Bytes tail = {}) {
    Bytes out;
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(count >> (8 * i)));
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

std::string text_error(const Bytes& bytes) {
    Decoder in(bytes);
    auto result = in.text();
    EXPECT_FALSE(result.ok());
    return result.ok() ? std::string() : result.error().message;
}

TEST(DecoderTest, FixedWidthValuesAreLittleEndianAndAdvanceTheCursor) {
    const Bytes bytes{0x01, 0x02, 0x03, 0x04, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                      0x00, 0x00, 0xC0, 0x3F, 0x01, 0x2A};
    Decoder in(bytes);
    EXPECT_EQ(in.u32().value(), 0x04030201u);
    EXPECT_EQ(in.i64().value(), -2);
    EXPECT_EQ(in.f32().value(), 1.5f);
    EXPECT_TRUE(in.boolean().value());
    EXPECT_EQ(in.position(), 17u);
    EXPECT_EQ(in.u8().value(), 42);
    EXPECT_TRUE(in.at_end());
    auto past_end = in.u8();
    ASSERT_FALSE(past_end.ok());
    EXPECT_EQ(past_end.error().message, "io error: unexpected end of file");
}

TEST(DecoderTest, EndOfInputTexts) {
    // A count cut short, and a text count past the end (nothing after "io error: ").
    EXPECT_EQ(text_error(Bytes{3, 0, 0}), "io error: unexpected end of file");
    EXPECT_EQ(text_error(with_count(4, {'a', 'b', 'c'})), "io error: ");
    EXPECT_EQ(text_error(with_count(UINT64_MAX, {'a'})), "io error: ");

    // A byte vector or list past the end fails without allocating the announced count.
    for (std::uint64_t count : {std::uint64_t{5}, std::uint64_t{1} << 62, UINT64_MAX}) {
        const Bytes short_bytes = with_count(count, {1, 2, 3, 4});
        Decoder bytes_in(short_bytes);
        auto bytes = bytes_in.bytes();
        ASSERT_FALSE(bytes.ok());
        EXPECT_EQ(bytes.error().message, "io error: unexpected end of file");
        const Bytes short_list = with_count(count, Bytes(16, 0));
        Decoder list_in(short_list);
        auto list = list_in.i64_list();
        ASSERT_FALSE(list.ok());
        EXPECT_EQ(list.error().message, "io error: unexpected end of file");
    }
}

TEST(DecoderTest, InvalidUtf8Descriptions) {
    const std::pair<Bytes, std::string> cases[] = {
        {{'o', 'k', 0xFF}, "invalid utf-8 sequence of 1 bytes from index 2"},
        {{0xC0, 0x80}, "invalid utf-8 sequence of 1 bytes from index 0"},  // overlong
        {{'a', 0xE2, 0x82, 'b'}, "invalid utf-8 sequence of 2 bytes from index 1"},
        {{0xED, 0xA0, 0x80}, "invalid utf-8 sequence of 1 bytes from index 0"},  // surrogate
        {{0xF0, 0x9F, 0x98, 'x'}, "invalid utf-8 sequence of 3 bytes from index 0"},
        {{0xF4, 0x90, 0x80, 0x80}, "invalid utf-8 sequence of 1 bytes from index 0"},  // > U+10FFFF
        {{'a', 'b', 0xE2, 0x82}, "incomplete utf-8 byte sequence from index 2"},
        {{0xF0}, "incomplete utf-8 byte sequence from index 0"},
    };
    for (const auto& [text, description] : cases) {
        EXPECT_EQ(text_error(with_count(text.size(), text)), "string is not valid utf8: " + description);
    }
    const Bytes emoji = with_count(4, {0xF0, 0x9F, 0x98, 0x80});
    Decoder valid(emoji);
    EXPECT_EQ(valid.text().value(), "\xF0\x9F\x98\x80");
}

TEST(DecoderTest, OptionalTagsAndBooleans) {
    const Bytes bytes{0, 1, 2};
    Decoder in(bytes);
    EXPECT_FALSE(in.optional_tag().value());
    EXPECT_TRUE(in.optional_tag().value());
    auto bad = in.optional_tag();
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().message, "tag for enum is not valid, found 2");

    const Bytes flag{2};
    Decoder flag_in(flag);
    EXPECT_FALSE(flag_in.boolean().ok());
}

TEST(EncoderTest, DropsWritesThatWouldOverflow) {
    std::array<std::uint8_t, 10> buffer{};
    Encoder out(buffer);
    out.u64(0x1122334455667788u);
    EXPECT_FALSE(out.overflowed());
    out.u32(7);  // does not fit in the 2 bytes left
    EXPECT_TRUE(out.overflowed());
    EXPECT_EQ(out.position(), 8u);
    EXPECT_EQ(buffer[0], 0x88);
    EXPECT_EQ(buffer[8], 0);
    EXPECT_FALSE(out.complete());
}

TEST(TransportMetadataTest, TwentyFourBytesWithZeroedTrailingFlags) {
    const std::uint64_t before = wall_clock_ns();
    const auto metadata = TransportRequestMetadata::create(0x0102030405060708u, 0xA1B2C3D4u, 5, 6);
    const std::uint64_t after = wall_clock_ns();
    EXPECT_GE(metadata.timestamp_ns, before);
    EXPECT_LE(metadata.timestamp_ns, after);
    EXPECT_GT(before, std::uint64_t{1'600'000'000} * 1'000'000'000u);

    std::array<std::uint8_t, TransportRequestMetadata::kEncodedSize> bytes{};
    bytes.fill(0xEE);
    metadata.encode_into(bytes);
    const std::array<std::uint8_t, 16> head{0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,
                                            0xD4, 0xC3, 0xB2, 0xA1, 5, 6, 0, 0};
    EXPECT_TRUE(std::equal(head.begin(), head.end(), bytes.begin()));
    std::uint64_t timestamp = 0;
    for (int i = 7; i >= 0; --i) timestamp = (timestamp << 8) | bytes[16 + i];
    EXPECT_EQ(timestamp, metadata.timestamp_ns);

    Decoder in(bytes);
    auto decoded = TransportRequestMetadata::decode(in);
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(decoded.value(), metadata);
    Decoder short_in{std::span<const std::uint8_t>(bytes).first(23)};
    EXPECT_FALSE(TransportRequestMetadata::decode(short_in).ok());
}

}  // namespace
}  // namespace zorvo::wire
