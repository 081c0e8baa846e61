#include "zorvo/wire/request.hpp"

#include <cassert>

#include "zorvo/wire/encoder.hpp"

namespace zorvo::wire {
namespace {

template <class T>
std::size_t optional_size(const std::optional<T>& field, std::size_t value_size) noexcept {
    return field ? encoded::kTag + value_size : 0;
}

template <class T, class Write>
void write_if_present(Encoder& out, const std::optional<T>& field, Write write) {
    if (!field) return;
    out.present();
    write(*field);
}

void write_metadata(Encoder& out, const EngineRequestMetadata& m) {
    write_if_present(out, m.text_1, [&](const std::string& v) { out.text(v); });
    write_if_present(out, m.u64_1, [&](std::uint64_t v) { out.u64(v); });
    write_if_present(out, m.u8_1, [&](std::uint8_t v) { out.u8(v); });
    write_if_present(out, m.flag_1, [&](bool v) { out.boolean(v); });
    write_if_present(out, m.text_2, [&](const std::string& v) { out.text(v); });
    write_if_present(out, m.api_token, [&](const std::string& v) { out.text(v); });
    write_if_present(out, m.int32_1, [&](std::int32_t v) { out.i32(v); });
    write_if_present(out, m.f32_1, [&](float v) { out.f32(v); });
    write_if_present(out, m.f32_2, [&](float v) { out.f32(v); });
    write_if_present(out, m.int32_2, [&](std::int32_t v) { out.i32(v); });
    write_if_present(out, m.f32_3, [&](float v) { out.f32(v); });
    write_if_present(out, m.u64_2, [&](std::uint64_t v) { out.u64(v); });
    write_if_present(out, m.int32_list_1, [&](const std::vector<std::int32_t>& v) { out.i32_list(v); });
}

void write_named_tensor(Encoder& out, const NamedTensor& tensor) {
    out.text(tensor.name);
    out.i64_list(tensor.shape);
    out.text(canonical_name(tensor.dtype));
    out.bytes(tensor.data);
}

}  // namespace

std::size_t encoded_size(const EngineRequestMetadata& m) noexcept {
    std::size_t size = 0;
    size += m.text_1 ? encoded::kTag + encoded::text(*m.text_1) : 0;
    size += optional_size(m.u64_1, 8);
    size += optional_size(m.u8_1, 1);
    size += optional_size(m.flag_1, 1);
    size += m.text_2 ? encoded::kTag + encoded::text(*m.text_2) : 0;
    size += m.api_token ? encoded::kTag + encoded::text(*m.api_token) : 0;
    size += optional_size(m.int32_1, 4);
    size += optional_size(m.f32_1, 4);
    size += optional_size(m.f32_2, 4);
    size += optional_size(m.int32_2, 4);
    size += optional_size(m.f32_3, 4);
    size += optional_size(m.u64_2, 8);
    size += m.int32_list_1 ? encoded::kTag + encoded::list(m.int32_list_1->size(), 4) : 0;
    return size;
}

std::size_t encoded_size(const NamedTensor& tensor) noexcept {
    return encoded::text(tensor.name) + encoded::list(tensor.shape.size(), 8) +
           encoded::text(canonical_name(tensor.dtype)) + encoded::bytes(tensor.data.size());
}

std::size_t encoded_size(const InferenceRequest& request) noexcept {
    std::size_t size = encoded::list(request.shape.size(), 8) + encoded::text(canonical_name(request.dtype)) +
                       encoded::bytes(request.data.size());
    if (!request.additional_inputs.empty()) {
        size += encoded::kCount;
        for (const auto& tensor : request.additional_inputs) size += encoded_size(tensor);
    }
    if (request.optional_text) size += encoded::kTag + encoded::text(*request.optional_text);
    if (request.metadata) size += encoded::kTag + encoded_size(*request.metadata);
    return size;
}

namespace {

// Writes the whole record, or everything but the main tensor's data bytes (their count stays).
// Returns the offset at which those data bytes are (or belong).
std::size_t encode_record(const InferenceRequest& request, std::span<std::uint8_t> out, bool with_data) {
    Encoder encoder(out);
    encoder.i64_list(request.shape);
    encoder.text(canonical_name(request.dtype));
    encoder.count(request.data.size());
    const std::size_t data_offset = encoder.position();
    if (with_data) encoder.raw(request.data);
    // Empty additional inputs and absent trailing fields contribute no bytes at all.
    if (!request.additional_inputs.empty()) {
        encoder.count(request.additional_inputs.size());
        for (const auto& tensor : request.additional_inputs) write_named_tensor(encoder, tensor);
    }
    if (request.optional_text) {
        encoder.present();
        encoder.text(*request.optional_text);
    }
    if (request.metadata) {
        encoder.present();
        write_metadata(encoder, *request.metadata);
    }
    assert(encoder.complete());
    return data_offset;
}

}  // namespace

void encode_into(const InferenceRequest& request, std::span<std::uint8_t> out) {
    encode_record(request, out, true);
}

std::size_t encode_into_except_data(const InferenceRequest& request, std::span<std::uint8_t> out) {
    return encode_record(request, out, false);
}

std::vector<std::uint8_t> encode(const InferenceRequest& request) {
    std::vector<std::uint8_t> out(encoded_size(request));
    encode_into(request, out);
    return out;
}

}  // namespace zorvo::wire
