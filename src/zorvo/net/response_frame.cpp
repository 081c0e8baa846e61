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

Result<ByteBuffer, SystemError> read_payload(Connection& connection, std::uint32_t length) {
    const std::size_t total = length;
    ByteBuffer payload;
    std::size_t filled = 0;
    std::size_t next_size = std::min(total, kFirstPayloadChunk);
    while (filled < total) {
        payload.resize(next_size);
        auto read = connection.read_exact(std::span(payload).subspan(filled, next_size - filled));
        if (!read.ok()) return fail(std::move(read).error());
        filled = next_size;
        next_size = std::min(total, filled * 2);
    }
    return payload;
}

Result<ShelvedBuffer, SystemError> read_payload(Connection& connection, std::uint32_t length,
                                                const std::shared_ptr<BufferShelf>& shelf) {
    if (!shelf || length < BufferShelf::kMinBytes) {
        auto fresh = read_payload(connection, length);
        if (!fresh.ok()) return fail(std::move(fresh).error());
        return ShelvedBuffer(std::move(fresh).value(), {});
    }
    if (auto spare = shelf->take(length)) {
        ShelvedBuffer payload(std::move(*spare), shelf);  // goes back even if the read fails
        if (auto read = connection.read_exact(payload.bytes()); !read.ok()) return fail(std::move(read).error());
        return payload;
    }
    auto fresh = read_payload(connection, length);
    if (!fresh.ok()) return fail(std::move(fresh).error());
    return ShelvedBuffer(std::move(fresh).value(), shelf);
}

}  // namespace zorvo::net
