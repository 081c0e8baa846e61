#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "zorvo/common/result.hpp"
#include "zorvo/wire/decode_error.hpp"
#include "zorvo/wire/dtype.hpp"

namespace zorvo::wire {

// One named extra input tensor of a request.
struct NamedTensor {
    std::string name;
    std::vector<std::int64_t> shape;
    TensorDtype dtype;
    std::vector<std::uint8_t> data;
};

// Optional per-request metadata of the engine API. Each field is written only when present; the
// library itself sets only api_token.
struct EngineRequestMetadata {
    std::optional<std::string> text_1{};
    std::optional<std::uint64_t> u64_1{};
    std::optional<std::uint8_t> u8_1{};
    std::optional<bool> flag_1{};
    std::optional<std::string> text_2{};
    std::optional<std::string> api_token{};
    std::optional<std::int32_t> int32_1{};
    std::optional<float> f32_1{}, f32_2{};
    std::optional<std::int32_t> int32_2{};
    std::optional<float> f32_3{};
    std::optional<std::uint64_t> u64_2{};
    std::optional<std::vector<std::int32_t>> int32_list_1{};

    bool operator==(const EngineRequestMetadata&) const = default;
};

// One inference call. shape and data are views the caller keeps alive, so the tensor bytes are
// copied exactly once: straight into the encoded buffer. local_handle stays in the process and
// is never encoded.
struct InferenceRequest {
    std::span<const std::int64_t> shape;
    TensorDtype dtype;
    std::span<const std::uint8_t> data;
    std::span<const NamedTensor> additional_inputs;
    std::optional<std::string> optional_text;
    std::optional<EngineRequestMetadata> metadata;
    std::shared_ptr<const void> local_handle;
};

std::size_t encoded_size(const EngineRequestMetadata& metadata) noexcept;
std::size_t encoded_size(const NamedTensor& tensor) noexcept;
std::size_t encoded_size(const InferenceRequest& request) noexcept;

// Writes the request into `out`, which must be exactly encoded_size(request) bytes long.
void encode_into(const InferenceRequest& request, std::span<std::uint8_t> out);
// The same record without the main tensor's data bytes (their count is written), into `out` of
// exactly encoded_size(request) - request.data.size() bytes, so that the caller can send the data
// from where it is. Returns the offset in `out` at which the data bytes belong.
std::size_t encode_into_except_data(const InferenceRequest& request, std::span<std::uint8_t> out);
// One allocation of exactly encoded_size(request) bytes.
std::vector<std::uint8_t> encode(const InferenceRequest& request);

// An owning copy of a decoded request, for engine-side code and tests.
struct DecodedRequest {
    std::vector<std::int64_t> shape;
    TensorDtype dtype;
    std::vector<std::uint8_t> data;
    std::vector<NamedTensor> additional_inputs;
    std::optional<std::string> optional_text;
    std::optional<EngineRequestMetadata> metadata;
};

// Reads an encoded request. The trailing fields are omitted when absent or empty, so the same
// bytes can in principle be read more than one way; the rule applied is:
//  - after data, the rest of the payload must be exactly [additional_inputs] [optional_text]
//    [metadata], each part optional. Layouts are tried in the order A-T-M, A-M, A-T, A, T-M, M, T
//    (more parts first; metadata before optional_text, which the client never sends) and the
//    first that consumes the rest exactly is taken. Nothing after data means none of them.
//  - inside metadata (after its tag byte 1): nothing left means every field absent; exactly one
//    text (1, count, bytes) is api_token, the only field the client ever sets; anything else is
//    matched field by field in declaration order, preferring present fields, again requiring the
//    record to end exactly at the end of the payload.
// Every request the client builds (optional_text absent, metadata absent or api_token only)
// reads back unchanged. When no layout fits, the error is that of the first layout tried.
Result<DecodedRequest, DecodeError> decode_inference_request(std::span<const std::uint8_t> payload);

}  // namespace zorvo::wire
