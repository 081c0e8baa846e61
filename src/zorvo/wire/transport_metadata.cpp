#include "zorvo/wire/transport_metadata.hpp"

#include <ctime>

#include "zorvo/wire/decoder.hpp"
#include "zorvo/wire/encoder.hpp"

namespace zorvo::wire {

std::uint64_t wall_clock_ns() noexcept {
    timespec now{};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0 || now.tv_sec < 0) return 0;
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(now.tv_nsec);
}

TransportRequestMetadata TransportRequestMetadata::create(std::uint64_t request_id, std::uint32_t param_u32,
                                                          std::uint8_t flag_a, std::uint8_t flag_b) {
    return {request_id, param_u32, flag_a, flag_b, 0, 0, wall_clock_ns()};
}

void TransportRequestMetadata::encode_into(std::span<std::uint8_t, kEncodedSize> out) const {
    Encoder encoder(out);
    encoder.u64(request_id);
    encoder.u32(param_u32);
    encoder.u8(flag_a);
    encoder.u8(flag_b);
    encoder.u8(byte_c);
    encoder.u8(byte_d);
    encoder.u64(timestamp_ns);
}

Result<TransportRequestMetadata, DecodeError> TransportRequestMetadata::decode(Decoder& in) {
    // All fields are fixed-width, so one length check covers every read below.
    if (in.remaining() < kEncodedSize) return fail(DecodeError::unexpected_eof());
    TransportRequestMetadata m{};
    m.request_id = in.u64().value();
    m.param_u32 = in.u32().value();
    m.flag_a = in.u8().value();
    m.flag_b = in.u8().value();
    m.byte_c = in.u8().value();
    m.byte_d = in.u8().value();
    m.timestamp_ns = in.u64().value();
    return m;
}

}  // namespace zorvo::wire
