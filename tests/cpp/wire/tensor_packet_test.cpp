#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "zorvo/wire/base64.hpp"
#include "zorvo/wire/tensor_packet.hpp"

namespace zorvo::wire {
namespace {

using Bytes = std::vector<std::uint8_t>;

const std::vector<std::int64_t> kShape{1, 3};

Bytes payload(std::string_view dtype, std::optional<Bytes> data, std::optional<std::string_view> base64) {
    std::optional<std::span<const std::uint8_t>> view;
    if (data) view = std::span<const std::uint8_t>(*data);
    return encode_tensor_payload(kShape, dtype, view, base64);
}

std::string decode_failure(const Bytes& bytes) {
    auto packet = decode_tensor_packet(bytes);
    EXPECT_FALSE(packet.ok());
    return packet.ok() ? std::string() : packet.error().message;
}

std::string base64_failure(std::string_view text) {
    auto result = base64_decode(text);
    EXPECT_FALSE(result.ok()) << text;
    return result.ok() ? std::string() : result.error();
}

TEST(TensorPacketTest, DirectDataWithAnyDtypeSpellingAndTrailingBytes) {
    Bytes bytes = payload("FP32", Bytes{0x00, 0x7F, 0xFF}, std::nullopt);
    bytes.insert(bytes.end(), {9, 9, 9});
    auto packet = decode_tensor_packet(bytes);
    ASSERT_TRUE(packet.ok()) << packet.error().message;
    EXPECT_EQ(packet.value().shape, kShape);
    EXPECT_EQ(packet.value().dtype, TensorDtype::Float32);
    EXPECT_EQ(packet.value().data, (Bytes{0x00, 0x7F, 0xFF}));

    auto empty = decode_tensor_packet(payload("uint8", Bytes{}, std::nullopt));
    ASSERT_TRUE(empty.ok());
    EXPECT_TRUE(empty.value().data.empty());
}

TEST(TensorPacketTest, Base64Data) {
    auto packet = decode_tensor_packet(payload("int64", std::nullopt, "AQI="));
    ASSERT_TRUE(packet.ok()) << packet.error().message;
    EXPECT_EQ(packet.value().data, (Bytes{1, 2}));
    EXPECT_EQ(decode_failure(payload("int64", std::nullopt, "AQI")), "Invalid padding");
}

TEST(TensorPacketTest, ValidationMessages) {
    EXPECT_EQ(decode_failure(payload("float32", std::nullopt, std::nullopt)),
              "binary tensor payload must include `data` or `data_base64`");
    EXPECT_EQ(decode_failure(payload("float32", Bytes{1, 2}, "AQI=")),
              "binary tensor payload must include only one of `data` or `data_base64`");
    EXPECT_EQ(decode_failure(payload("complex64", Bytes{}, std::nullopt)),
              "Invalid input: Unsupported dtype: complex64");
}

TEST(TensorPacketTest, TruncatedPayloads) {
    const Bytes full = payload("float32", Bytes{1}, std::nullopt);
    const std::size_t after_dtype = 8 + 16 + 8 + 7;
    // Cut right after the dtype text: the data tag is missing.
    EXPECT_EQ(decode_failure(Bytes(full.begin(), full.begin() + after_dtype)), "io error: unexpected end of file");
    // Cut inside the dtype text: its count runs past the end.
    EXPECT_EQ(decode_failure(Bytes(full.begin(), full.begin() + after_dtype - 2)), "io error: ");
    EXPECT_EQ(decode_failure(Bytes{}), "io error: unexpected end of file");
    Bytes bad_tag = full;
    bad_tag[after_dtype] = 2;
    EXPECT_EQ(decode_failure(bad_tag), "tag for enum is not valid, found 2");
}

TEST(Base64Test, AcceptsCanonicalInputAndRoundTrips) {
    EXPECT_EQ(base64_decode("").value(), Bytes{});
    EXPECT_EQ(base64_decode("/w==").value(), Bytes{0xFF});
    EXPECT_EQ(base64_decode("+/+/").value(), (Bytes{0xFB, 0xFF, 0xBF}));
    EXPECT_EQ(base64_decode("aGVsbG8gd29ybGQ=").value(), (Bytes{'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd'}));
    for (std::size_t length = 0; length < 40; ++length) {
        Bytes bytes(length);
        for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(i * 37 + 11);
        const std::string text = base64_encode(bytes);
        EXPECT_EQ(text.size() % 4, 0u);
        auto back = base64_decode(text);
        ASSERT_TRUE(back.ok()) << back.error();
        EXPECT_EQ(back.value(), bytes);
    }
}

TEST(Base64Test, RejectionTexts) {
    EXPECT_EQ(base64_failure("AQ-="), "Invalid symbol 45, offset 2.");
    EXPECT_EQ(base64_failure("AQI=\n"), "Invalid symbol 10, offset 4.");
    EXPECT_EQ(base64_failure("AQ I"), "Invalid symbol 32, offset 2.");
    EXPECT_EQ(base64_failure("A==="), "Invalid symbol 61, offset 1.");
    EXPECT_EQ(base64_failure("AQ==AQ=="), "Invalid symbol 61, offset 2.");
    EXPECT_EQ(base64_failure("AQ=A"), "Invalid symbol 61, offset 2.");
    EXPECT_EQ(base64_failure("AAAA="), "Invalid symbol 61, offset 4.");
    EXPECT_EQ(base64_failure("A"), "Invalid input length: 1");
    EXPECT_EQ(base64_failure("AAAAA"), "Invalid input length: 5");
    EXPECT_EQ(base64_failure("AQ"), "Invalid padding");
    EXPECT_EQ(base64_failure("AQI"), "Invalid padding");
    EXPECT_EQ(base64_failure("AQ="), "Invalid padding");
    EXPECT_EQ(base64_failure("AQ==="), "Invalid symbol 61, offset 2.");
    EXPECT_EQ(base64_failure("AR=="), "Invalid last symbol 82, offset 1.");
    EXPECT_EQ(base64_failure("AQJ="), "Invalid last symbol 74, offset 2.");
}

}  // namespace
}  // namespace zorvo::wire
