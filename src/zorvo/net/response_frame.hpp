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

// Where a payload of `length` bytes is received: a spare buffer of `shelf` (which may be null)
// that fits, sized to `length`; otherwise a fresh one sized for the first bytes to arrive (at most
// 16 MiB), grown with next_payload_size as they do, so a header announcing far more than the peer
// sends cannot force a huge allocation. A large buffer goes back to `shelf`, if still alive, when
// dropped.
ShelvedBuffer payload_buffer(std::uint32_t length, const std::shared_ptr<BufferShelf>& shelf);
// The size a full payload buffer grows to while more of the payload is due: doubled, up to `length`.
std::size_t next_payload_size(std::size_t filled, std::size_t length) noexcept;

// Reads exactly `length` payload bytes into payload_buffer(length, shelf).
Result<ShelvedBuffer, SystemError> read_payload(Connection& connection, std::uint32_t length,
                                                const std::shared_ptr<BufferShelf>& shelf);

}  // namespace zorvo::net
