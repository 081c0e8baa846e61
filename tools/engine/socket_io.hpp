#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "reply_payload.hpp"
#include "zorvo/common/byte_buffer.hpp"

namespace zorvo::engine {

// Reads frames from a blocking stream socket through a small buffer, so that a header and a
// short payload usually arrive with one system call; large payloads bypass the buffer.
class FrameReader {
public:
    explicit FrameReader(int fd) : fd_(fd), buffer_(kBufferSize) {}

    // Each read is true when every requested byte arrived; false on an error or end of stream.
    bool read_exact(std::span<std::uint8_t> out);

    // Reads `length` bytes into the front of `storage`, which is kept between requests and only
    // grows (so the usual request costs no allocation or clearing). It grows as the bytes
    // arrive, so a header announcing a huge payload that never comes costs no huge allocation.
    bool read_payload(std::uint64_t length, ByteBuffer& storage);

    // Consumes and drops `length` bytes.
    bool discard(std::uint64_t length);

private:
    static constexpr std::size_t kBufferSize = 64 * 1024;

    // One recv into the internal buffer; false on error or end of stream.
    bool refill();
    std::size_t take_buffered(std::span<std::uint8_t> out) noexcept;

    int fd_;
    ByteBuffer buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};

// Sends the parts back to back with as few system calls as the kernel allows; never raises
// SIGPIPE. False when the peer is gone or the socket fails.
bool send_parts(int fd, std::span<const std::span<const std::uint8_t>> parts);

// The largest payload a response frame can announce in its 32-bit length field.
inline constexpr std::uint64_t kMaxFramePayload = 0xFFFF'FFFFull;

// One response frame: status, payload length, payload. A payload beyond kMaxFramePayload is
// never sent (its length would wrap and desynchronise the stream): the result is false.
bool send_frame(int fd, std::uint32_t status, std::span<const std::uint8_t> payload);
bool send_frame(int fd, std::uint32_t status, const ReplyPayload& payload);
bool send_text_frame(int fd, std::uint32_t status, std::string_view text);

}  // namespace zorvo::engine
