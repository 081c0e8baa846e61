#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "zorvo/wire/request.hpp"

namespace zorvo::wire {
namespace {

using Bytes = std::vector<std::uint8_t>;

void append_u64(Bytes& out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}
void append_text(Bytes& out, std::string_view text) {
    append_u64(out, text.size());
    out.insert(out.end(), text.begin(), text.end());
}

const std::vector<std::int64_t> kShape{2};
const Bytes kData{1, 2, 3, 4, 5, 6, 7, 8};

Bytes primary_tensor_bytes() {
    Bytes expected;
    append_u64(expected, 1);
    append_u64(expected, 2);
    append_text(expected, "float32");
    append_u64(expected, 8);
    expected.insert(expected.end(), kData.begin(), kData.end());
    return expected;
}

InferenceRequest basic_request() { return InferenceRequest{kShape, TensorDtype::Float32, kData, {}, {}, {}, {}}; }

TEST(RequestEncodingTest, PlainRequestIs47BytesEndingAfterData) {
    const Bytes encoded = encode(basic_request());
    EXPECT_EQ(encoded.size(), 47u);
    EXPECT_EQ(encoded, primary_tensor_bytes());
    EXPECT_EQ(encoded_size(basic_request()), 47u);
}

TEST(RequestEncodingTest, ScalarShapeWritesOnlyAZeroCount) {
    InferenceRequest request{{}, TensorDtype::Uint8, {}, {}, {}, {}, {}};
    Bytes expected;
    append_u64(expected, 0);
    append_text(expected, "uint8");
    append_u64(expected, 0);
    EXPECT_EQ(encode(request), expected);
}

TEST(RequestEncodingTest, AdditionalInputsWriteCountOnlyWhenPresent) {
    const std::vector<NamedTensor> inputs{{"mask", {1, -3}, TensorDtype::Int64, {9, 8}}};
    InferenceRequest request = basic_request();
    request.additional_inputs = inputs;
    Bytes expected = primary_tensor_bytes();
    append_u64(expected, 1);
    append_text(expected, "mask");
    append_u64(expected, 2);
    append_u64(expected, 1);
    append_u64(expected, static_cast<std::uint64_t>(-3));
    append_text(expected, "int64");
    append_u64(expected, 2);
    expected.push_back(9);
    expected.push_back(8);
    EXPECT_EQ(encode(request), expected);
    EXPECT_EQ(encoded_size(request), expected.size());

    const std::vector<NamedTensor> none;
    request.additional_inputs = none;
    EXPECT_EQ(encode(request), primary_tensor_bytes());
}

TEST(RequestEncodingTest, ApiTokenTail) {
    InferenceRequest request = basic_request();
    request.metadata = EngineRequestMetadata{};
    request.metadata->api_token = "secret";
    Bytes expected = primary_tensor_bytes();
    expected.push_back(1);
    expected.push_back(1);
    append_text(expected, "secret");
    EXPECT_EQ(encode(request), expected);

    request.metadata->api_token = "";
    expected = primary_tensor_bytes();
    expected.insert(expected.end(), {1, 1, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(encode(request), expected);

    // Present metadata with every field absent is the single tag byte.
    request.metadata = EngineRequestMetadata{};
    expected = primary_tensor_bytes();
    expected.push_back(1);
    EXPECT_EQ(encode(request), expected);
    EXPECT_EQ(encoded_size(*request.metadata), 0u);
}

TEST(RequestEncodingTest, EveryMetadataFieldInDeclarationOrder) {
    EngineRequestMetadata m;
    m.text_1 = "a";
    m.u64_1 = 0x0102030405060708u;
    m.u8_1 = 7;
    m.flag_1 = true;
    m.text_2 = "b";
    m.api_token = "t";
    m.int32_1 = -1;
    m.f32_1 = 1.0f;
    m.f32_2 = -2.0f;
    m.int32_2 = 5;
    m.f32_3 = 0.5f;
    m.u64_2 = 9;
    m.int32_list_1 = std::vector<std::int32_t>{3, -4};
    InferenceRequest request = basic_request();
    request.optional_text = "note";
    request.metadata = m;

    Bytes expected = primary_tensor_bytes();
    expected.push_back(1);
    append_text(expected, "note");
    expected.push_back(1);
    expected.push_back(1), append_text(expected, "a");
    expected.push_back(1), append_u64(expected, 0x0102030405060708u);
    expected.insert(expected.end(), {1, 7, 1, 1});
    expected.push_back(1), append_text(expected, "b");
    expected.push_back(1), append_text(expected, "t");
    expected.insert(expected.end(), {1, 0xFF, 0xFF, 0xFF, 0xFF});
    expected.insert(expected.end(), {1, 0x00, 0x00, 0x80, 0x3F});
    expected.insert(expected.end(), {1, 0x00, 0x00, 0x00, 0xC0});
    expected.insert(expected.end(), {1, 5, 0, 0, 0});
    expected.insert(expected.end(), {1, 0x00, 0x00, 0x00, 0x3F});
    expected.push_back(1), append_u64(expected, 9);
    expected.push_back(1), append_u64(expected, 2);
    expected.insert(expected.end(), {3, 0, 0, 0, 0xFC, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(encode(request), expected);
    EXPECT_EQ(encoded_size(request), expected.size());

    auto decoded = decode_inference_request(expected);
    ASSERT_TRUE(decoded.ok()) << decoded.error().message;
    EXPECT_EQ(decoded.value().optional_text, "note");
    EXPECT_EQ(decoded.value().metadata, m);
}

TEST(RequestDecodingTest, ClientShapedRequestsReadBack) {
    const std::vector<NamedTensor> inputs{{"a", {}, TensorDtype::String, {}}, {"b", {4}, TensorDtype::Float16, {1, 2}}};
    for (bool with_inputs : {false, true}) {
        for (const char* token : {static_cast<const char*>(nullptr), "", "tok", "\x01\x01"}) {
            InferenceRequest request = basic_request();
            if (with_inputs) request.additional_inputs = inputs;
            if (token) request.metadata = EngineRequestMetadata{.api_token = token};
            auto decoded = decode_inference_request(encode(request));
            ASSERT_TRUE(decoded.ok()) << decoded.error().message;
            const auto& d = decoded.value();
            EXPECT_EQ(d.shape, kShape);
            EXPECT_EQ(d.dtype, TensorDtype::Float32);
            EXPECT_EQ(d.data, kData);
            EXPECT_EQ(d.additional_inputs.size(), with_inputs ? 2u : 0u);
            EXPECT_FALSE(d.optional_text.has_value());
            ASSERT_EQ(d.metadata.has_value(), token != nullptr);
            if (token) {
                EXPECT_EQ(d.metadata->api_token, token);
            }
            if (with_inputs) {
                EXPECT_EQ(d.additional_inputs[1].name, "b");
                EXPECT_EQ(d.additional_inputs[1].dtype, TensorDtype::Float16);
                EXPECT_EQ(d.additional_inputs[1].data, (Bytes{1, 2}));
            }
        }
    }
}

TEST(RequestDecodingTest, RejectsTruncationTrailingBytesAndUnknownDtype) {
    Bytes bytes = encode(basic_request());
    bytes.pop_back();
    auto truncated = decode_inference_request(bytes);
    ASSERT_FALSE(truncated.ok());
    EXPECT_EQ(truncated.error().message, "io error: unexpected end of file");

    bytes = encode(basic_request());
    bytes.push_back(7);
    EXPECT_FALSE(decode_inference_request(bytes).ok());

    Bytes unknown;
    append_u64(unknown, 0);
    append_text(unknown, "Complex64");
    append_u64(unknown, 0);
    auto bad_dtype = decode_inference_request(unknown);
    ASSERT_FALSE(bad_dtype.ok());
    EXPECT_EQ(bad_dtype.error().message, "Invalid input: Unsupported dtype: complex64");
}

}  // namespace
}  // namespace zorvo::wire
