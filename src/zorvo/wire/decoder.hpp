#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "zorvo/common/result.hpp"
#include "zorvo/wire/decode_error.hpp"

namespace zorvo::wire {

// Reads the record encoding from the front of an in-memory byte slice through a cursor. Texts
// and byte vectors are copied once into owned storage; nothing is allocated for more elements
// than the remaining input could hold, so a forged count cannot cause a large allocation.
// After a failed read the cursor position is unspecified: callers abandon the record.
class Decoder {
public:
    explicit Decoder(std::span<const std::uint8_t> input) noexcept : input_(input) {}
    // The decoder only views its input; reading from a temporary buffer would dangle.
    explicit Decoder(std::vector<std::uint8_t>&&) = delete;

    Result<std::uint8_t, DecodeError> u8() noexcept;
    Result<std::uint32_t, DecodeError> u32() noexcept;
    Result<std::uint64_t, DecodeError> u64() noexcept;
    Result<std::int32_t, DecodeError> i32() noexcept;
    Result<std::int64_t, DecodeError> i64() noexcept;
    Result<float, DecodeError> f32() noexcept;
    Result<bool, DecodeError> boolean();
    // A u64 element or byte count.
    Result<std::uint64_t, DecodeError> count() noexcept { return u64(); }

    Result<std::string, DecodeError> text();
    Result<std::vector<std::uint8_t>, DecodeError> bytes();
    // A byte vector left where it is in the input, for callers that copy it once themselves.
    Result<std::span<const std::uint8_t>, DecodeError> bytes_view();
    Result<std::vector<std::int64_t>, DecodeError> i64_list();
    Result<std::vector<std::int32_t>, DecodeError> i32_list();
    // An optional value's tag: true when the value follows.
    Result<bool, DecodeError> optional_tag();

    std::size_t position() const noexcept { return position_; }
    std::size_t remaining() const noexcept { return input_.size() - position_; }
    bool at_end() const noexcept { return position_ == input_.size(); }

private:
    template <class T>
    Result<std::vector<T>, DecodeError> fixed_list();

    std::span<const std::uint8_t> input_;
    std::size_t position_ = 0;
};

}  // namespace zorvo::wire
