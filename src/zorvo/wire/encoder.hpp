#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>

#include "zorvo/common/little_endian.hpp"

namespace zorvo::wire {

// Exact byte counts of the record encoding, so a record can size its buffer before writing.
namespace encoded {
inline constexpr std::size_t kCount = 8;  // every length prefix is a u64
inline constexpr std::size_t kTag = 1;    // optional-value tag
constexpr std::size_t text(std::string_view value) noexcept { return kCount + value.size(); }
constexpr std::size_t bytes(std::size_t length) noexcept { return kCount + length; }
constexpr std::size_t list(std::size_t count, std::size_t element_size) noexcept {
    return kCount + count * element_size;
}
}  // namespace encoded

// Writes the record encoding (little-endian fixed widths, u64 counts, 0/1 tags) into a buffer the
// caller sized exactly beforehand. A write that would not fit is dropped and marks the encoder as
// overflowed, so a sizing mistake can never write past the buffer.
class Encoder {
public:
    explicit Encoder(std::span<std::uint8_t> out) noexcept : out_(out) {}

    void u8(std::uint8_t value) noexcept { put(&value, 1); }
    void u32(std::uint32_t value) noexcept { put_le(value); }
    void u64(std::uint64_t value) noexcept { put_le(value); }
    void i32(std::int32_t value) noexcept { put_le(static_cast<std::uint32_t>(value)); }
    void i64(std::int64_t value) noexcept { put_le(static_cast<std::uint64_t>(value)); }
    void f32(float value) noexcept { put_le(std::bit_cast<std::uint32_t>(value)); }
    void boolean(bool value) noexcept { u8(value ? 1 : 0); }
    void count(std::size_t value) noexcept { u64(static_cast<std::uint64_t>(value)); }

    void text(std::string_view value) noexcept {
        count(value.size());
        put(value.data(), value.size());
    }
    void bytes(std::span<const std::uint8_t> value) noexcept {
        count(value.size());
        raw(value);
    }
    // Bytes without a count, for a caller that wrote the count itself.
    void raw(std::span<const std::uint8_t> value) noexcept { put(value.data(), value.size()); }
    void i64_list(std::span<const std::int64_t> values) noexcept {
        count(values.size());
        for (std::int64_t v : values) i64(v);
    }
    void i32_list(std::span<const std::int32_t> values) noexcept {
        count(values.size());
        for (std::int32_t v : values) i32(v);
    }

    // Optional values: the tag byte; the caller writes the value after present().
    void present() noexcept { u8(1); }
    void absent() noexcept { u8(0); }

    std::size_t position() const noexcept { return position_; }
    bool overflowed() const noexcept { return overflowed_; }
    // True when every write fitted and the buffer is exactly full.
    bool complete() const noexcept { return !overflowed_ && position_ == out_.size(); }

private:
    void put(const void* data, std::size_t length) noexcept {
        if (length == 0) return;
        if (overflowed_ || length > out_.size() - position_) {
            overflowed_ = true;
            return;
        }
        std::memcpy(out_.data() + position_, data, length);
        position_ += length;
    }
    template <class U>
    void put_le(U value) noexcept {
        if (overflowed_ || sizeof value > out_.size() - position_) {
            overflowed_ = true;
            return;
        }
        store_le(out_.data() + position_, value);
        position_ += sizeof value;
    }

    std::span<std::uint8_t> out_;
    std::size_t position_ = 0;
    bool overflowed_ = false;
};

}  // namespace zorvo::wire
