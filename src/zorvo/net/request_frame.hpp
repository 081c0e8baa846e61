#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "zorvo/common/result.hpp"
#include "zorvo/net/client_error.hpp"
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

// One encoded request frame, header included. Left uninitialised on allocation because every
// byte is written by the encoder straight away.
class RequestFrame {
public:
    explicit RequestFrame(std::size_t size)
        : bytes_(std::make_unique_for_overwrite<std::uint8_t[]>(size)), size_(size) {}

    std::span<std::uint8_t> bytes() noexcept { return {bytes_.get(), size_}; }
    std::span<const std::uint8_t> bytes() const noexcept { return {bytes_.get(), size_}; }

private:
    std::unique_ptr<std::uint8_t[]> bytes_;
    std::size_t size_;
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
// tensor bytes are copied once and the frame can go out in a single write.
Result<RequestFrame, ClientError> encode_request_frame(const RequestFrameParts& parts);

}  // namespace zorvo::net
