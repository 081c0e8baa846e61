// Result payloads as the engine sends them. A payload that decodes must survive re-encoding both
// as direct bytes and as base64 text with shape, element type and data unchanged.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fuzz_input.hpp"
#include "zorvo/wire/base64.hpp"
#include "zorvo/wire/tensor_packet.hpp"

namespace {

using zorvo::fuzz::require;
using zorvo::wire::BinaryTensorPacket;

void require_same(const BinaryTensorPacket& a, const BinaryTensorPacket& b, const char* property) {
    require(a.shape == b.shape && a.dtype == b.dtype && a.data == b.data, property);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto packet = zorvo::wire::decode_tensor_packet({data, size});
    if (!packet.ok()) return 0;
    const BinaryTensorPacket& first = packet.value();
    const auto name = zorvo::wire::canonical_name(first.dtype);

    const std::span<const std::uint8_t> bytes(first.data);
    auto direct = zorvo::wire::decode_tensor_packet(
        zorvo::wire::encode_tensor_payload(first.shape, name, bytes, std::nullopt));
    require(direct.ok(), "a re-encoded direct payload does not decode");
    require_same(direct.value(), first, "a re-encoded direct payload reads back differently");

    const std::string text = zorvo::wire::base64_encode(bytes);
    auto as_base64 = zorvo::wire::decode_tensor_packet(
        zorvo::wire::encode_tensor_payload(first.shape, name, std::nullopt, std::string_view(text)));
    require(as_base64.ok(), "a re-encoded base64 payload does not decode");
    require_same(as_base64.value(), first, "a re-encoded base64 payload reads back differently");
    return 0;
}
