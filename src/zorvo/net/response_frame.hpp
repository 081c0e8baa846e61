#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "zorvo/common/byte_buffer.hpp"
#include "zorvo/common/result.hpp"
#include "zorvo/common/system_error.hpp"
#include "zorvo/net/buffer_shelf.hpp"
#include "zorvo/net/connection.hpp"

namespace zorvo::net {

// status, payload length: two little-endian 32-bit words.
inline constexpr std::size_t kResponseHeaderSize = 8;

struct ResponseHeader {
    std::uint32_t status;
    std::uint32_t length;
};

Result<ResponseHeader, SystemError> read_response_header(Connection& connection);

// Reads exactly `length` payload bytes. The buffer grows as bytes arrive (from at most 16 MiB,
// doubling), so a header announcing far more than the peer sends cannot force a huge allocation.
Result<ByteBuffer, SystemError> read_payload(Connection& connection, std::uint32_t length);

// The same, into a spare buffer of `shelf` when it has one that fits (then in one go: the buffer
// exists already, so no announced length can force an allocation); a large buffer goes back to
// `shelf` (if still alive) when dropped. `shelf` may be null.
Result<ShelvedBuffer, SystemError> read_payload(Connection& connection, std::uint32_t length,
                                                const std::shared_ptr<BufferShelf>& shelf);

}  // namespace zorvo::net
