#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "zorvo/common/result.hpp"
#include "zorvo/common/system_error.hpp"
#include "zorvo/net/client_error.hpp"
#include "zorvo/net/connection.hpp"
#include "zorvo/net/tensor_args.hpp"
#include "zorvo/wire/request.hpp"

namespace zorvo::net {

// Request kinds carried in the second header word.
inline constexpr std::uint32_t kInferKind = 1;
inline constexpr std::uint32_t kStreamKind = 2;

// model id, kind, payload length: three little-endian 32-bit words.
inline constexpr std::size_t kRequestHeaderSize = 12;

// The length word is 32 bits wide; larger payloads cannot be framed.
inline constexpr std::uint64_t kMaxFramePayload = 0xFFFF'FFFFull;

// One encoded request frame, header included. The frame's own buffer is left uninitialised on
// allocation because every byte is written by the encoder straight away. A large main tensor's
// data bytes are not copied into it: the frame points at the caller's bytes, which must outlive
// it, and goes out as its own bytes before them, those bytes, and its own bytes after them.
class RequestFrame {
public:
    // Data at least this long stays where it is; smaller data is copied, so that a small frame
    // is one buffer and one plain send.
    static constexpr std::size_t kBorrowedDataMin = std::size_t{64} << 10;

    explicit RequestFrame(std::size_t size)
        : bytes_(std::make_unique_for_overwrite<std::uint8_t[]>(size)), size_(size), data_offset_(size) {}

    // The frame's own bytes, for the encoder.
    std::span<std::uint8_t> own_bytes() noexcept { return {bytes_.get(), size_}; }

    // Makes `data` go out between own bytes [0, offset) and the rest.
    void borrow(std::size_t offset, std::span<const std::uint8_t> data) noexcept {
        data_offset_ = offset;
        data_ = data;
    }

    // The bytes on the wire, in order: own bytes, borrowed data, own bytes (the last two empty
    // when nothing is borrowed).
    std::array<std::span<const std::uint8_t>, 3> pieces() const noexcept {
        const std::span<const std::uint8_t> own(bytes_.get(), size_);
        return {own.first(data_offset_), data_, own.subspan(data_offset_)};
    }

    // Sends the whole frame: one send when nothing is borrowed, else one gathered send.
    Result<Unit, SystemError> write_to(Connection& connection) const;

private:
    std::unique_ptr<std::uint8_t[]> bytes_;
    std::size_t size_;
    std::size_t data_offset_;
    std::span<const std::uint8_t> data_;
};

// Parses the element type of every extra input, in order; the first unknown one fails.
Result<std::vector<wire::NamedTensor>, ClientError> named_tensors_from(
    std::span<const AdditionalInput> inputs);

struct RequestFrameParts {
    std::uint32_t model_id;
    std::uint32_t kind;
    const TensorArgs& tensor;
    std::span<const wire::NamedTensor> additional_inputs;
    const std::optional<std::string>& api_token;  // sent as request metadata when present
};

// Parses the element type, then encodes header and request into one exactly sized buffer, so the
// frame goes out in a single write; the tensor bytes are copied into it once, or, from
// kBorrowedDataMin on, not at all (the frame then borrows parts.tensor.data).
Result<RequestFrame, ClientError> encode_request_frame(const RequestFrameParts& parts);

}  // namespace zorvo::net
