#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <random>
#include <vector>

#include "zorvo/wire/base64.hpp"
#include "zorvo/wire/decoder.hpp"
#include "zorvo/wire/request.hpp"
#include "zorvo/wire/tensor_packet.hpp"
#include "zorvo/wire/transport_metadata.hpp"
#include "zorvo/wire/unicode_lowercase.hpp"

// Records the largest single allocation so the tests can check that forged counts never make
// a decoder allocate far beyond its input. The replacement pairs malloc with free throughout,
// which the compiler cannot see across inlined standard containers.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
std::atomic<std::size_t> largest_allocation{0};
}

void* operator new(std::size_t size) {
    std::size_t seen = largest_allocation.load(std::memory_order_relaxed);
    while (size > seen && !largest_allocation.compare_exchange_weak(seen, size)) {
    }
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace zorvo::wire {
namespace {

using Bytes = std::vector<std::uint8_t>;

class RandomizedTest : public ::testing::Test {
protected:
    std::mt19937_64 rng{0x5eed1234};

    std::size_t below(std::size_t bound) { return std::uniform_int_distribution<std::size_t>(0, bound - 1)(rng); }
    Bytes random_bytes(std::size_t max_length) {
        Bytes out(below(max_length + 1));
        for (auto& b : out) b = static_cast<std::uint8_t>(below(256));
        return out;
    }
    std::vector<std::int64_t> random_shape() {
        std::vector<std::int64_t> shape(below(4));
        for (auto& d : shape) d = static_cast<std::int64_t>(rng());
        return shape;
    }
    TensorDtype random_dtype() { return static_cast<TensorDtype>(below(7)); }
    // Valid UTF-8 mixing ASCII, control bytes (0x01 looks like a tag), NUL and multi-byte forms.
    std::string random_text(std::size_t max_length) {
        using namespace std::string_view_literals;
        static constexpr std::string_view pieces[] = {"a"sv, "Z"sv, "\x01"sv, "\xc3\xa9"sv, "\xe2\x82\xac"sv,
                                                      "\xf0\x9f\x98\x80"sv, " "sv, "\0"sv};
        std::string out;
        const std::size_t count = below(max_length + 1);
        for (std::size_t i = 0; i < count; ++i) out += pieces[below(std::size(pieces))];
        return out;
    }

    // Mutates a valid encoding: flips, truncates, extends or overwrites a count-sized window.
    Bytes mutate(Bytes bytes) {
        switch (below(4)) {
            case 0:
                if (!bytes.empty()) bytes[below(bytes.size())] ^= static_cast<std::uint8_t>(1u << below(8));
                break;
            case 1: bytes.resize(below(bytes.size() + 1)); break;
            case 2: {
                const Bytes extra = random_bytes(12);
                bytes.insert(bytes.end(), extra.begin(), extra.end());
                break;
            }
            default:
                if (bytes.size() >= 8) {
                    const std::size_t at = below(bytes.size() - 7);
                    for (std::size_t i = 0; i < 8; ++i) bytes[at + i] = i == 7 ? 0x7F : 0xFF;
                }
        }
        return bytes;
    }

    // Runs every decoder over `input` and checks no allocation grew far beyond the input.
    void decode_everything(const Bytes& input) {
        // Copy into an exactly sized heap block so a read past the end is a real overrun.
        const std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[input.size() + 1]);
        std::copy(input.begin(), input.end(), exact.get());
        const std::span<const std::uint8_t> view(exact.get(), input.size());

        largest_allocation = 0;
        (void)decode_inference_request(view);
        (void)decode_tensor_packet(view);
        const std::string_view text(reinterpret_cast<const char*>(view.data()), view.size());
        (void)base64_decode(text);
        (void)unicode_lowercase(text);
        (void)parse_dtype(text);
        Decoder in(view);
        (void)TransportRequestMetadata::decode(in);
        Decoder primitives(view);
        (void)primitives.i64_list();
        (void)primitives.text();
        (void)primitives.bytes();
        (void)primitives.i32_list();
        (void)primitives.optional_tag();
        EXPECT_LE(primitives.position(), view.size());
        // Decoded copies and text buffers are proportional to the input (UTF-32 scratch for
        // lowercasing is the largest: four bytes per input byte).
        EXPECT_LE(largest_allocation.load(), 4 * input.size() + 4096) << "input of " << input.size() << " bytes";
    }
};

TEST_F(RandomizedTest, RandomAndMutatedBytesNeverBreakTheDecoders) {
    for (int round = 0; round < 3000; ++round) decode_everything(random_bytes(64));

    for (int round = 0; round < 3000; ++round) {
        const auto shape = random_shape();
        const Bytes data = random_bytes(32);
        const std::vector<NamedTensor> inputs{{random_text(3), random_shape(), random_dtype(), random_bytes(8)}};
        InferenceRequest request{shape, random_dtype(), data, {}, {}, {}, {}};
        if (below(2)) request.additional_inputs = inputs;
        if (below(2)) request.metadata = EngineRequestMetadata{.api_token = random_text(4)};
        decode_everything(mutate(encode(request)));
        decode_everything(mutate(encode_tensor_payload(shape, canonical_name(random_dtype()), std::span(data),
                                                       std::nullopt)));
        const std::string base64 = base64_encode(data);
        decode_everything(mutate(Bytes(base64.begin(), base64.end())));
    }
}

TEST_F(RandomizedTest, ClientRequestsRoundTrip) {
    for (int round = 0; round < 2000; ++round) {
        const auto shape = random_shape();
        const Bytes data = random_bytes(40);
        std::vector<NamedTensor> inputs(below(4));
        for (auto& input : inputs) input = {random_text(5), random_shape(), random_dtype(), random_bytes(12)};
        InferenceRequest request{shape, random_dtype(), data, inputs, {}, {}, {}};
        if (below(2)) request.metadata = EngineRequestMetadata{.api_token = random_text(6)};

        const Bytes encoded = encode(request);
        ASSERT_EQ(encoded.size(), encoded_size(request));
        auto decoded = decode_inference_request(encoded);
        ASSERT_TRUE(decoded.ok()) << decoded.error().message;
        const DecodedRequest& d = decoded.value();
        EXPECT_EQ(d.shape, shape);
        EXPECT_EQ(d.dtype, request.dtype);
        EXPECT_EQ(d.data, data);
        ASSERT_EQ(d.additional_inputs.size(), inputs.size());
        for (std::size_t i = 0; i < inputs.size(); ++i) {
            EXPECT_EQ(d.additional_inputs[i].name, inputs[i].name);
            EXPECT_EQ(d.additional_inputs[i].shape, inputs[i].shape);
            EXPECT_EQ(d.additional_inputs[i].dtype, inputs[i].dtype);
            EXPECT_EQ(d.additional_inputs[i].data, inputs[i].data);
        }
        EXPECT_EQ(d.metadata, request.metadata);
        EXPECT_FALSE(d.optional_text.has_value());
    }
}

TEST_F(RandomizedTest, TensorPayloadsRoundTripInBothForms) {
    for (int round = 0; round < 2000; ++round) {
        const auto shape = random_shape();
        const Bytes data = random_bytes(50);
        const TensorDtype dtype = random_dtype();
        const std::string base64 = base64_encode(data);
        const Bytes encoded = below(2) ? encode_tensor_payload(shape, canonical_name(dtype), std::span(data), std::nullopt)
                                       : encode_tensor_payload(shape, canonical_name(dtype), std::nullopt, base64);
        auto packet = decode_tensor_packet(encoded);
        ASSERT_TRUE(packet.ok()) << packet.error().message;
        EXPECT_EQ(packet.value().shape, shape);
        EXPECT_EQ(packet.value().dtype, dtype);
        EXPECT_EQ(packet.value().data, data);
    }
}

}  // namespace
}  // namespace zorvo::wire
