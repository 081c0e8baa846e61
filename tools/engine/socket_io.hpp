#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "reply_payload.hpp"

namespace zorvo::engine {

enum class ReadStatus {
    Complete,  // every requested byte arrived
    Closed,    // the peer closed before the first byte: a clean end between frames
    Failed,    // an error, or the peer closed in the middle
};

// Reads frames from a blocking stream socket through a small buffer, so that a header and a
// short payload usually arrive with one system call; large payloads bypass the buffer.
class FrameReader {
public:
    explicit FrameReader(int fd) : fd_(fd), buffer_(kBufferSize) {}

    ReadStatus read_exact(std::span<std::uint8_t> out);

    // Reads `length` bytes into the front of `storage`, which is kept between requests and only
    // grows (so the usual request costs no allocation or clearing). It grows as the bytes
    // arrive, so a header announcing a huge payload that never comes costs no huge allocation.
    ReadStatus read_payload(std::uint64_t length, std::vector<std::uint8_t>& storage);

    // Consumes and drops `length` bytes.
    ReadStatus discard(std::uint64_t length);

private:
    static constexpr std::size_t kBufferSize = 64 * 1024;

    // One recv into the internal buffer; false on error or end of stream.
    bool refill();
    std::size_t take_buffered(std::span<std::uint8_t> out) noexcept;

    int fd_;
    std::vector<std::uint8_t> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};

// Sends the parts back to back with as few system calls as the kernel allows; never raises
// SIGPIPE. False when the peer is gone or the socket fails.
bool send_parts(int fd, std::span<const std::span<const std::uint8_t>> parts);

// One response frame: status, payload length, payload.
bool send_frame(int fd, std::uint32_t status, std::span<const std::uint8_t> payload);
bool send_frame(int fd, std::uint32_t status, const ReplyPayload& payload);
bool send_text_frame(int fd, std::uint32_t status, std::string_view text);

}  // namespace zorvo::engine
