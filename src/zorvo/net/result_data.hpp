#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "zorvo/common/byte_buffer.hpp"
#include "zorvo/net/buffer_shelf.hpp"
#include "zorvo/wire/tensor_packet.hpp"

namespace zorvo::net {

// A result's data bytes, left inside the reply payload they arrived in (or, for base64 results,
// the decoded bytes), so that they are copied only once more: into the caller's result. The
// result's shape and element type, as the engine sent them, come along for callers that keep
// the bytes as a tensor instead of copying them.
class ResultData {
public:
    // `packet` was read from `payload`; its direct data is a view into it. The payload goes back
    // to its shelf, if it has one, once the result no longer needs it.
    ResultData(ShelvedBuffer payload, wire::BinaryTensorPacketView packet) noexcept
        : shape_(std::move(packet.shape)), dtype_(packet.dtype), decoded_(std::move(packet.decoded)) {
        if (!decoded_) {
            offset_ = static_cast<std::size_t>(packet.direct.data() - payload.bytes().data());
            length_ = packet.direct.size();
            payload_ = std::move(payload);  // moving keeps the bytes where they are
        }
    }

    std::span<const std::uint8_t> bytes() const noexcept {
        if (decoded_) return *decoded_;
        return std::span<const std::uint8_t>(payload_.bytes()).subspan(offset_, length_);
    }
    // The same bytes, writable: the result owns them alone.
    std::span<std::uint8_t> bytes() noexcept {
        if (decoded_) return *decoded_;
        return std::span<std::uint8_t>(payload_.bytes()).subspan(offset_, length_);
    }
    const std::vector<std::int64_t>& shape() const noexcept { return shape_; }
    wire::TensorDtype dtype() const noexcept { return dtype_; }
    std::vector<std::uint8_t> to_vector() const { return {bytes().begin(), bytes().end()}; }

    friend bool operator==(const ResultData& data, const std::vector<std::uint8_t>& expected) {
        return std::ranges::equal(data.bytes(), expected);
    }

private:
    std::vector<std::int64_t> shape_;
    wire::TensorDtype dtype_;
    ShelvedBuffer payload_;
    std::size_t offset_ = 0;
    std::size_t length_ = 0;
    std::optional<std::vector<std::uint8_t>> decoded_;
};

}  // namespace zorvo::net
