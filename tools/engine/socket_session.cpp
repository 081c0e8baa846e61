#include "socket_session.hpp"

#include <array>
#include <string>

#include "zorvo/common/little_endian.hpp"
#include "frame_protocol.hpp"
#include "hybrid_exchange.hpp"
#include "scripted_models.hpp"
#include "socket_io.hpp"

namespace zorvo::engine {

namespace {

// Past this, a connection gives its payload buffer back after the request that needed it.
constexpr std::size_t kRetainedPayloadCapacity = 64ull << 20;

bool send_stream(int fd, const StreamReply& reply) {
    for (const StreamFrame& frame : reply.frames) {
        const bool sent = frame.part == StreamPart::Item   ? send_frame(fd, frame.status, reply.item)
                          : frame.part == StreamPart::Text ? send_text_frame(fd, frame.status, reply.text)
                                                           : send_frame(fd, frame.status, std::span<const std::uint8_t>());
        if (!sent) return false;
    }
    return true;
}

// A request too large to accept: its payload is drained so the connection stays in step, then
// it is refused the way its kind reports errors.
bool refuse_oversized(int fd, const RequestHeader& header, std::uint64_t max_payload) {
    const std::string text = "request payload of " + std::to_string(header.length) +
                             " bytes exceeds the engine's limit of " + std::to_string(max_payload) + " bytes";
    if (!send_text_frame(fd, kStatusFailure, text)) return false;
    if (header.kind == kKindStream) return send_frame(fd, kStatusOk, std::span<const std::uint8_t>());
    return true;
}

// Answers one request; false ends the connection.
bool answer(int fd, const RequestHeader& header, std::span<const std::uint8_t> payload,
            const SessionSettings& settings) {
    switch (header.kind) {
        case kKindInfer: {
            const SingleReply reply = answer_single(header.model_id, payload);
            return !reply.hang_up && send_frame(fd, reply.status, reply.payload);
        }
        case kKindStream: {
            const StreamReply reply = answer_stream(header.model_id, payload);
            return !reply.hang_up && send_stream(fd, reply);
        }
        case kKindHybrid: {
            const HybridReply reply = answer_hybrid(settings.region, payload);
            return send_frame(fd, reply.status, reply.payload);
        }
        default:
            return false;
    }
}

}  // namespace

void serve_connection(int fd, const SessionSettings& settings) {
    FrameReader reader(fd);
    std::vector<std::uint8_t> storage;
    std::array<std::uint8_t, kRequestHeaderSize> header_bytes{};
    for (;;) {
        if (reader.read_exact(header_bytes) != ReadStatus::Complete) return;
        const RequestHeader header{load_le<std::uint32_t>(header_bytes.data()), load_le<std::uint32_t>(header_bytes.data() + 4),
                                   load_le<std::uint32_t>(header_bytes.data() + 8)};
        // An unknown kind means the peer speaks something else: nothing it sends can be trusted.
        if (header.kind != kKindInfer && header.kind != kKindStream && header.kind != kKindHybrid) return;
        if (header.length > settings.max_payload) {
            if (reader.discard(header.length) != ReadStatus::Complete) return;
            if (!refuse_oversized(fd, header, settings.max_payload)) return;
            continue;
        }
        if (reader.read_payload(header.length, storage) != ReadStatus::Complete) return;
        if (!answer(fd, header, std::span(storage).first(header.length), settings)) return;
        if (storage.size() > kRetainedPayloadCapacity) storage = {};
    }
}

}  // namespace zorvo::engine
