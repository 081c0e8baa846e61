#include "socket_io.hpp"

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "zorvo/common/little_endian.hpp"
#include "frame_protocol.hpp"

namespace zorvo::engine {

namespace {

// recv that retries on EINTR; returns bytes read, 0 at end of stream, -1 on error.
ssize_t receive(int fd, std::uint8_t* into, std::size_t capacity) {
    for (;;) {
        const ssize_t got = ::recv(fd, into, capacity, 0);
        if (got >= 0 || errno != EINTR) return got;
    }
}

constexpr std::size_t kPayloadGrowthStep = 64ull << 20;

}  // namespace

bool FrameReader::refill() {
    begin_ = 0;
    end_ = 0;
    const ssize_t got = receive(fd_, buffer_.data(), buffer_.size());
    if (got <= 0) return false;
    end_ = static_cast<std::size_t>(got);
    return true;
}

std::size_t FrameReader::take_buffered(std::span<std::uint8_t> out) noexcept {
    const std::size_t count = std::min(out.size(), end_ - begin_);
    if (count > 0) std::memcpy(out.data(), buffer_.data() + begin_, count);
    begin_ += count;
    return count;
}

bool FrameReader::read_exact(std::span<std::uint8_t> out) {
    std::size_t filled = take_buffered(out);
    while (filled < out.size()) {
        const std::size_t missing = out.size() - filled;
        if (missing >= buffer_.size() / 2) {
            // Large remainder: read straight into the destination, skipping the extra copy.
            const ssize_t got = receive(fd_, out.data() + filled, missing);
            if (got <= 0) return false;
            filled += static_cast<std::size_t>(got);
            continue;
        }
        if (!refill()) return false;
        filled += take_buffered(out.subspan(filled));
    }
    return true;
}

bool FrameReader::read_payload(std::uint64_t length, ByteBuffer& storage) {
    std::uint64_t done = 0;
    while (done < length) {
        const std::uint64_t chunk = std::min(length - done, std::max<std::uint64_t>(done, kPayloadGrowthStep));
        if (storage.size() < done + chunk) storage.resize(static_cast<std::size_t>(done + chunk));
        if (!read_exact(std::span(storage).subspan(static_cast<std::size_t>(done), static_cast<std::size_t>(chunk))))
            return false;
        done += chunk;
    }
    return true;
}

bool FrameReader::discard(std::uint64_t length) {
    std::array<std::uint8_t, 16 * 1024> sink;
    while (length > 0) {
        const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(length, sink.size()));
        if (!read_exact(std::span(sink).first(chunk))) return false;
        length -= chunk;
    }
    return true;
}

bool send_parts(int fd, std::span<const std::span<const std::uint8_t>> parts) {
    constexpr std::size_t kMaxParts = 8;
    std::array<iovec, kMaxParts> vectors{};
    std::size_t count = 0;
    for (const auto& part : parts) {
        if (part.empty()) continue;
        if (count == kMaxParts) return false;
        vectors[count++] = iovec{const_cast<std::uint8_t*>(part.data()), part.size()};
    }
    std::size_t first = 0;
    while (first < count) {
        msghdr message{};
        message.msg_iov = vectors.data() + first;
        message.msg_iovlen = count - first;
        const ssize_t sent = ::sendmsg(fd, &message, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        // Skip what went out and continue inside a partly sent part.
        auto remaining = static_cast<std::size_t>(sent);
        while (first < count && remaining >= vectors[first].iov_len) {
            remaining -= vectors[first].iov_len;
            ++first;
        }
        if (first < count) {
            vectors[first].iov_base = static_cast<std::uint8_t*>(vectors[first].iov_base) + remaining;
            vectors[first].iov_len -= remaining;
        }
    }
    return true;
}

namespace {

// Sends the response header for `pieces` followed by the pieces themselves.
bool send_framed(int fd, std::uint32_t status, std::span<const std::span<const std::uint8_t>, 3> pieces) {
    std::uint64_t length = 0;
    for (const auto& piece : pieces) length += piece.size();
    if (length > kMaxFramePayload) return false;
    std::array<std::uint8_t, kResponseHeaderSize> header{};
    store_le<std::uint32_t>(header.data(), status);
    store_le<std::uint32_t>(header.data() + 4, static_cast<std::uint32_t>(length));
    const std::array<std::span<const std::uint8_t>, 4> parts{std::span<const std::uint8_t>(header), pieces[0],
                                                             pieces[1], pieces[2]};
    return send_parts(fd, parts);
}

}  // namespace

bool send_frame(int fd, std::uint32_t status, std::span<const std::uint8_t> payload) {
    const std::array<std::span<const std::uint8_t>, 3> pieces{payload, {}, {}};
    return send_framed(fd, status, pieces);
}

bool send_frame(int fd, std::uint32_t status, const ReplyPayload& payload) {
    return send_framed(fd, status, payload.pieces());
}

bool send_text_frame(int fd, std::uint32_t status, std::string_view text) {
    return send_frame(fd, status, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

}  // namespace zorvo::engine
