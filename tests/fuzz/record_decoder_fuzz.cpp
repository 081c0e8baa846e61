// Drives the record decoder with untrusted bytes: a script of primitive reads, then a whole
// inference request. Checks the cursor arithmetic of every successful read and that a request the
// client could have built reads back unchanged after re-encoding.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz_input.hpp"
#include "zorvo/wire/decoder.hpp"
#include "zorvo/wire/request.hpp"

namespace {

using zorvo::fuzz::FuzzInput;
using zorvo::fuzz::require;
using zorvo::wire::Decoder;

// Runs one primitive read; false once the decoder has failed (the record is then abandoned).
bool read_one(Decoder& in, std::uint8_t op) {
    const std::size_t before = in.position();
    const std::size_t remaining = in.remaining();
    std::size_t consumed = 0;
    switch (op % 12) {
        case 0: { auto v = in.u8(); if (!v) return false; consumed = 1; break; }
        case 1: { auto v = in.u32(); if (!v) return false; consumed = 4; break; }
        case 2: { auto v = in.u64(); if (!v) return false; consumed = 8; break; }
        case 3: { auto v = in.i32(); if (!v) return false; consumed = 4; break; }
        case 4: { auto v = in.i64(); if (!v) return false; consumed = 8; break; }
        case 5: { auto v = in.f32(); if (!v) return false; consumed = 4; break; }
        case 6: { auto v = in.boolean(); if (!v) return false; consumed = 1; break; }
        case 7: { auto v = in.optional_tag(); if (!v) return false; consumed = 1; break; }
        case 8: { auto v = in.text(); if (!v) return false; consumed = 8 + v->size(); break; }
        case 9: { auto v = in.bytes(); if (!v) return false; consumed = 8 + v->size(); break; }
        case 10: { auto v = in.i64_list(); if (!v) return false; consumed = 8 + 8 * v->size(); break; }
        default: { auto v = in.i32_list(); if (!v) return false; consumed = 8 + 4 * v->size(); break; }
    }
    require(consumed <= remaining, "a read consumed more than the input held");
    require(in.position() == before + consumed, "cursor moved by other than the bytes read");
    require(in.remaining() == remaining - consumed, "remaining() disagrees with position()");
    return true;
}

bool same_tensors(std::span<const zorvo::wire::NamedTensor> a, std::span<const zorvo::wire::NamedTensor> b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].name != b[i].name || a[i].shape != b[i].shape || a[i].dtype != b[i].dtype ||
            a[i].data != b[i].data) {
            return false;
        }
    }
    return true;
}

// The shapes of request the client itself sends: no optional text, metadata absent or token only.
bool client_shaped(const zorvo::wire::DecodedRequest& request) {
    if (request.optional_text) return false;
    if (!request.metadata) return true;
    zorvo::wire::EngineRequestMetadata token_only;
    token_only.api_token = request.metadata->api_token;
    return request.metadata->api_token.has_value() && *request.metadata == token_only;
}

void check_request_round_trip(std::span<const std::uint8_t> payload) {
    auto decoded = zorvo::wire::decode_inference_request(payload);
    if (!decoded.ok() || !client_shaped(decoded.value())) return;
    const auto& first = decoded.value();

    const zorvo::wire::InferenceRequest request{
        .shape = first.shape,
        .dtype = first.dtype,
        .data = first.data,
        .additional_inputs = first.additional_inputs,
        .optional_text = first.optional_text,
        .metadata = first.metadata,
        .local_handle = nullptr,
    };
    const std::vector<std::uint8_t> encoded = zorvo::wire::encode(request);
    require(encoded.size() == zorvo::wire::encoded_size(request), "encode() size differs from encoded_size()");

    auto again = zorvo::wire::decode_inference_request(encoded);
    require(again.ok(), "a re-encoded client request does not decode");
    const auto& second = again.value();
    require(second.shape == first.shape && second.dtype == first.dtype && second.data == first.data &&
                same_tensors(second.additional_inputs, first.additional_inputs) &&
                second.optional_text == first.optional_text && second.metadata == first.metadata,
            "a re-encoded client request reads back differently");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    const std::size_t op_count = input.u8() % 33;
    const auto ops = input.take(op_count);
    const auto record = input.rest();

    Decoder decoder(record);
    for (std::uint8_t op : ops) {
        if (!read_one(decoder, op)) break;
    }

    // The whole input as a request payload, so seeds of real requests keep their meaning.
    check_request_round_trip({data, size});
    return 0;
}
