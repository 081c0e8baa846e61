#include "zorvo/net/response_frame.hpp"

#include <algorithm>
#include <array>
#include <span>

#include "zorvo/common/little_endian.hpp"

namespace zorvo::net {
namespace {

// Up to this much is allocated before any payload byte has arrived; beyond it the buffer doubles
// as bytes arrive, so a header announcing far more than the peer sends cannot force a huge
// allocation, while ordinary results are read into one buffer of their exact size.
constexpr std::size_t kFirstPayloadChunk = std::size_t{16} << 20;

}  // namespace

Result<ResponseHeader, SystemError> read_response_header(Connection& connection) {
    std::array<std::uint8_t, kResponseHeaderSize> header{};
    if (auto read = connection.read_exact(header); !read.ok()) return fail(std::move(read).error());
    return ResponseHeader{load_le<std::uint32_t>(header.data()), load_le<std::uint32_t>(header.data() + 4)};
}

ShelvedBuffer payload_buffer(std::uint32_t length, const std::shared_ptr<BufferShelf>& shelf) {
    if (shelf && length >= BufferShelf::kMinBytes) {
        if (auto spare = shelf->take(length)) return ShelvedBuffer(std::move(*spare), shelf);
    }
    ByteBuffer fresh;
    fresh.resize(std::min<std::size_t>(length, kFirstPayloadChunk));
    // A small buffer is never kept: only a large one may go back to the shelf.
    return ShelvedBuffer(std::move(fresh), length >= BufferShelf::kMinBytes ? shelf : nullptr);
}

std::size_t next_payload_size(std::size_t filled, std::size_t length) noexcept {
    return std::min(length, filled * 2);
}

Result<ShelvedBuffer, SystemError> read_payload(Connection& connection, std::uint32_t length,
                                                const std::shared_ptr<BufferShelf>& shelf) {
    ShelvedBuffer payload = payload_buffer(length, shelf);  // goes back to the shelf even if the read fails
    ByteBuffer& bytes = payload.bytes();
    for (std::size_t filled = 0;;) {
        if (auto read = connection.read_exact(std::span(bytes).subspan(filled)); !read.ok()) {
            return fail(std::move(read).error());
        }
        filled = bytes.size();
        if (filled == length) return payload;
        bytes.resize(next_payload_size(filled, length));
    }
}

}  // namespace zorvo::net
