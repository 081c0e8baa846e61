#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "zorvo/common/result.hpp"
#include "zorvo/wire/decode_error.hpp"

namespace zorvo::wire {

class Decoder;

// Wall-clock time in nanoseconds since 1970-01-01T00:00:00 UTC; 0 if the clock reads earlier.
std::uint64_t wall_clock_ns() noexcept;

// Fixed 24-byte metadata of the transport; it opens every shared-memory request entry and hybrid
// request record.
struct TransportRequestMetadata {
    std::uint64_t request_id;
    std::uint32_t param_u32;
    std::uint8_t flag_a, flag_b, byte_c, byte_d;
    std::uint64_t timestamp_ns;

    static constexpr std::size_t kEncodedSize = 24;

    // byte_c and byte_d are 0; timestamp_ns is the wall clock now (0 if it reads before 1970:
    // no valid timestamp exists then, and 0 is the one value that cannot be mistaken for one).
    static TransportRequestMetadata create(std::uint64_t request_id, std::uint32_t param_u32,
                                           std::uint8_t flag_a, std::uint8_t flag_b);

    void encode_into(std::span<std::uint8_t, kEncodedSize> out) const;
    static Result<TransportRequestMetadata, DecodeError> decode(Decoder& in);

    bool operator==(const TransportRequestMetadata&) const = default;
};

}  // namespace zorvo::wire
