// The hybrid client's control exchange against a stand-in engine that answers with the fuzz
// input: the response frame reading, the status check and the response record decode. The
// outcome is compared with a plain reading of the frame, and the record decode with plain
// little-endian loads.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "fuzz_input.hpp"
#include "scripted_peer.hpp"
#include "zorvo/common/text.hpp"
#include "zorvo/hybrid/exchange.hpp"
#include "zorvo/hybrid/protocol.hpp"
#include "zorvo/hybrid/runtime.hpp"

namespace {

using zorvo::fuzz::require;
using zorvo::hybrid::HybridResponse;

std::uint64_t le(std::span<const std::uint8_t> at, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) value |= std::uint64_t{at[i]} << (8 * i);
    return value;
}

void check_record_decode(std::span<const std::uint8_t> payload) {
    auto decoded = HybridResponse::decode(payload);
    require(decoded.ok() == (payload.size() >= zorvo::hybrid::HYBRID_RESPONSE_SIZE),
            "a response record is accepted or refused by other than its length");
    if (!decoded.ok()) return;
    const HybridResponse& r = decoded.value();
    bool reserved_same = true;
    for (std::size_t i = 0; i < r.reserved.size(); ++i) reserved_same &= r.reserved[i] == payload[9 + i];
    require(r.request_id == le(payload, 8) && r.is_error == payload[8] && reserved_same &&
                r.aux_1 == le(payload.subspan(16), 8) && r.result_offset == le(payload.subspan(24), 8) &&
                r.aux_2 == le(payload.subspan(32), 8),
            "a response record field is read from the wrong bytes");
}

void check_exchange(zorvo::hybrid::Runtime& runtime, zorvo::fuzz::ScriptedPeer& peer,
                    std::span<const std::uint8_t> reply) {
    peer.script(reply);
    const zorvo::hybrid::HybridRequest request{
        .metadata = zorvo::wire::TransportRequestMetadata::create(42, 0, 0, 0),
        .tensor_offset = 4096,
        .tensor_size = 96,
    };
    auto control = std::make_shared<zorvo::hybrid::ControlConnection>();
    auto result = runtime.block_on(zorvo::hybrid::exchange(runtime, peer.path(), control, request));

    const auto requests = peer.requests();
    const auto frame = zorvo::hybrid::encode_request_frame(request);
    require(requests.size() == 1 && std::equal(frame.begin(), frame.end(), requests[0].begin(), requests[0].end()),
            "the engine did not receive exactly the one request frame");

    if (reply.size() < zorvo::hybrid::RESPONSE_FRAME_HEADER_SIZE) {
        require(!result.ok(), "a cut-off response header is accepted");
        return;
    }
    const std::uint64_t status = le(reply, 4);
    const std::uint64_t length = le(reply.subspan(4), 4);
    if (reply.size() - 8 < length) {
        require(!result.ok(), "a cut-off response payload is accepted");
        return;
    }
    const auto payload = reply.subspan(8, length);
    if (status != 0) {
        const std::string text = zorvo::utf8_lossy(std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()));
        require(!result.ok() && result.error() == text, "an engine error is not reported with its text");
        return;
    }
    auto decoded = HybridResponse::decode(payload);
    require(result.ok() == decoded.ok(), "the exchange and the record decode disagree");
    require(!decoded.ok() || result.value() == decoded.value(), "the exchange returns another response");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static auto runtime = zorvo::hybrid::Runtime::create(1);
    static zorvo::fuzz::ScriptedPeer peer;
    require(runtime.ok(), "the runtime cannot be created");

    const std::span<const std::uint8_t> reply(data, size);
    check_record_decode(reply);
    check_exchange(*runtime.value(), peer, reply);
    return 0;
}
