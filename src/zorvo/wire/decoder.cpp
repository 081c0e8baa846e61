#include "zorvo/wire/decoder.hpp"

#include <bit>

#include "zorvo/common/little_endian.hpp"
#include "zorvo/common/utf8.hpp"

namespace zorvo::wire {
Result<std::uint8_t, DecodeError> Decoder::u8() noexcept {
    if (remaining() < 1) return fail(DecodeError::unexpected_eof());
    return input_[position_++];
}

Result<std::uint32_t, DecodeError> Decoder::u32() noexcept {
    if (remaining() < 4) return fail(DecodeError::unexpected_eof());
    const auto value = load_le<std::uint32_t>(input_.data() + position_);
    position_ += 4;
    return value;
}

Result<std::uint64_t, DecodeError> Decoder::u64() noexcept {
    if (remaining() < 8) return fail(DecodeError::unexpected_eof());
    const auto value = load_le<std::uint64_t>(input_.data() + position_);
    position_ += 8;
    return value;
}

Result<std::int32_t, DecodeError> Decoder::i32() noexcept {
    auto value = u32();
    if (!value) return fail(std::move(value).error());
    return static_cast<std::int32_t>(value.value());
}

Result<std::int64_t, DecodeError> Decoder::i64() noexcept {
    auto value = u64();
    if (!value) return fail(std::move(value).error());
    return static_cast<std::int64_t>(value.value());
}

Result<float, DecodeError> Decoder::f32() noexcept {
    auto bits = u32();
    if (!bits) return fail(std::move(bits).error());
    return std::bit_cast<float>(bits.value());
}

Result<bool, DecodeError> Decoder::boolean() {
    auto value = u8();
    if (!value) return fail(std::move(value).error());
    if (value.value() > 1) return fail(DecodeError::invalid_bool(value.value()));
    return value.value() == 1;
}

Result<bool, DecodeError> Decoder::optional_tag() {
    auto tag = u8();
    if (!tag) return fail(std::move(tag).error());
    if (tag.value() > 1) return fail(DecodeError::invalid_tag(tag.value()));
    return tag.value() == 1;
}

Result<std::string, DecodeError> Decoder::text() {
    auto length = count();
    if (!length) return fail(std::move(length).error());
    if (length.value() > remaining()) return fail(DecodeError::text_past_end());
    const auto bytes = input_.subspan(position_, static_cast<std::size_t>(length.value()));
    if (auto fault = find_utf8_fault(bytes)) return fail(DecodeError::invalid_utf8(fault->describe()));
    position_ += bytes.size();
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

Result<std::span<const std::uint8_t>, DecodeError> Decoder::bytes_view() {
    auto length = count();
    if (!length) return fail(std::move(length).error());
    // Reading element by element would run out of input at the same point; fail before
    // allocating anything for a count the input cannot back.
    if (length.value() > remaining()) return fail(DecodeError::unexpected_eof());
    const auto bytes = input_.subspan(position_, static_cast<std::size_t>(length.value()));
    position_ += bytes.size();
    return bytes;
}

Result<std::vector<std::uint8_t>, DecodeError> Decoder::bytes() {
    auto bytes = bytes_view();
    if (!bytes) return fail(std::move(bytes).error());
    return std::vector<std::uint8_t>(bytes.value().begin(), bytes.value().end());
}

template <class T>
Result<std::vector<T>, DecodeError> Decoder::fixed_list() {
    auto length = count();
    if (!length) return fail(std::move(length).error());
    if (length.value() > remaining() / sizeof(T)) return fail(DecodeError::unexpected_eof());
    std::vector<T> values(static_cast<std::size_t>(length.value()));
    for (auto& value : values) {
        using U = std::make_unsigned_t<T>;
        value = static_cast<T>(load_le<U>(input_.data() + position_));
        position_ += sizeof(T);
    }
    return values;
}

Result<std::vector<std::int64_t>, DecodeError> Decoder::i64_list() { return fixed_list<std::int64_t>(); }
Result<std::vector<std::int32_t>, DecodeError> Decoder::i32_list() { return fixed_list<std::int32_t>(); }

}  // namespace zorvo::wire
