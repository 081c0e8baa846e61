#include "socket_session.hpp"

#include <array>
#include <chrono>
#include <string>
#include <string_view>
#include <thread>

#include "zorvo/common/byte_buffer.hpp"
#include "zorvo/common/little_endian.hpp"
#include "zorvo/hybrid/protocol.hpp"
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

// Refuses a request the way its kind reports errors: a failure text, which a stream follows
// with its end frame.
bool refuse(int fd, std::uint32_t kind, std::string_view text) {
    if (!send_text_frame(fd, kStatusFailure, text)) return false;
    if (kind == kKindStream) return send_frame(fd, kStatusOk, std::span<const std::uint8_t>());
    return true;
}

// A request too large to accept: its payload has been drained so the connection stays in step.
bool refuse_oversized(int fd, const RequestHeader& header, std::uint64_t max_payload) {
    return refuse(fd, header.kind,
                  "request payload of " + std::to_string(header.length) + " bytes exceeds the engine's limit of " +
                      std::to_string(max_payload) + " bytes");
}

// A reply whose payload a frame's 32-bit length cannot announce (an echo of a payload near the
// limit, raised with --max-payload, can grow past it) is refused rather than sent truncated.
bool refuse_unframeable(int fd, std::uint32_t kind, std::size_t reply_size) {
    return refuse(fd, kind,
                  "reply payload of " + std::to_string(reply_size) + " bytes exceeds the frame limit of " +
                      std::to_string(kMaxFramePayload) + " bytes");
}

// Answers one request; false ends the connection.
bool answer(int fd, const RequestHeader& header, std::span<const std::uint8_t> payload,
            const SessionSettings& settings) {
    if (header.kind == kKindInfer) {
        const SingleReply reply = answer_single(header.model_id, payload);
        if (reply.hang_up) return false;
        if (reply.payload.size() > kMaxFramePayload) return refuse_unframeable(fd, header.kind, reply.payload.size());
        return send_frame(fd, reply.status, reply.payload);
    }
    if (header.kind == kKindStream) {
        const StreamReply reply = answer_stream(header.model_id, payload);
        if (reply.hang_up) return false;
        if (reply.item.size() > kMaxFramePayload) return refuse_unframeable(fd, header.kind, reply.item.size());
        return send_stream(fd, reply);
    }
    // Only the hybrid kind is left: serve_connection drops the peer on any other.
    const HybridReply reply = answer_hybrid(settings.region, payload);
    return send_frame(fd, reply.status, reply.payload);
}

}  // namespace

void serve_connection(int fd, const SessionSettings& settings) {
    FrameReader reader(fd);
    ByteBuffer storage;
    std::array<std::uint8_t, kRequestHeaderSize> header_bytes{};
    for (;;) {
        if (!reader.read_exact(header_bytes)) return;
        const auto due = std::chrono::steady_clock::now() + settings.delay;
        const RequestHeader header{load_le<std::uint32_t>(header_bytes.data()), load_le<std::uint32_t>(header_bytes.data() + 4),
                                   load_le<std::uint32_t>(header_bytes.data() + 8)};
        // An unknown kind means the peer speaks something else: nothing it sends can be trusted.
        if (header.kind != kKindInfer && header.kind != kKindStream && header.kind != hybrid::HYBRID_KIND) return;
        if (header.length > settings.max_payload) {
            if (!reader.discard(header.length)) return;
            if (!refuse_oversized(fd, header, settings.max_payload)) return;
            continue;
        }
        if (!reader.read_payload(header.length, storage)) return;
        if (settings.delay.count() > 0) std::this_thread::sleep_until(due);
        if (!answer(fd, header, std::span(storage).first(header.length), settings)) return;
        if (storage.size() > kRetainedPayloadCapacity) storage = {};
    }
}

}  // namespace zorvo::engine
