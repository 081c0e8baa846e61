#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>

#include "zorvo/common/byte_buffer.hpp"

namespace zorvo::net {

// A few spare reply buffers of one client, so that a large result is received into memory that is
// already mapped and touched instead of a fresh allocation (whose pages fault in on every call).
// Bounded: only buffers of at least kMinBytes are kept, at most kMaxBuffers of them and at most
// kMaxBytes in all; anything else is freed. Thread-safe and never blocking: when another thread
// holds the shelf, a taker allocates and a giver frees, as if the shelf were empty or full.
class BufferShelf {
public:
    static constexpr std::size_t kMinBytes = std::size_t{64} << 10;
    static constexpr std::size_t kMaxBuffers = 4;
    static constexpr std::size_t kMaxBytes = std::size_t{64} << 20;

    // A spare buffer whose capacity is within [size, 2 * size], resized to `size` (its bytes are
    // left as they were), or nothing.
    std::optional<ByteBuffer> take(std::size_t size) noexcept;

    // Keeps the buffer's memory for a later take, within the bounds; otherwise frees it.
    void give_back(ByteBuffer buffer) noexcept;

    std::size_t spare_bytes() const;

private:
    mutable std::mutex mutex_;
    std::array<ByteBuffer, kMaxBuffers> spares_;  // empty capacity: a free place
    std::size_t spare_bytes_ = 0;
};

// A received buffer that goes back to its client's shelf when it is destroyed, if that client (and
// so its shelf) still exists; results may outlive their client.
class ShelvedBuffer {
public:
    ShelvedBuffer() = default;
    ShelvedBuffer(ByteBuffer bytes, std::weak_ptr<BufferShelf> home) noexcept
        : bytes_(std::move(bytes)), home_(std::move(home)) {}
    ShelvedBuffer(ShelvedBuffer&& other) noexcept = default;
    ShelvedBuffer& operator=(ShelvedBuffer&& other) noexcept {
        if (this != &other) {
            give_back();
            bytes_ = std::move(other.bytes_);
            home_ = std::move(other.home_);
        }
        return *this;
    }
    ~ShelvedBuffer() { give_back(); }

    ByteBuffer& bytes() noexcept { return bytes_; }
    const ByteBuffer& bytes() const noexcept { return bytes_; }

private:
    void give_back() noexcept {
        if (bytes_.capacity() < BufferShelf::kMinBytes) return;
        if (auto shelf = home_.lock()) shelf->give_back(std::move(bytes_));
    }

    ByteBuffer bytes_;
    std::weak_ptr<BufferShelf> home_;
};

}  // namespace zorvo::net
