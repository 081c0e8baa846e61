#include "zorvo/shm/queue_entries.hpp"

#include <algorithm>

#include "zorvo/common/little_endian.hpp"

namespace zorvo::shm {

void encode_request_record(const wire::TransportRequestMetadata& metadata, std::uint64_t tensor_offset,
                           std::uint64_t tensor_size, std::span<std::uint8_t, REQUEST_ENTRY_SIZE> out) noexcept {
    metadata.encode_into(out.first<wire::TransportRequestMetadata::kEncodedSize>());
    store_le(out.data() + wire::TransportRequestMetadata::kEncodedSize, tensor_offset);
    store_le(out.data() + wire::TransportRequestMetadata::kEncodedSize + 8, tensor_size);
}

ShmRequestEntry ShmRequestEntry::decode(std::span<const std::uint8_t, SIZE> in) noexcept {
    const std::uint8_t* at = in.data();
    return ShmRequestEntry{
        .request_id = load_le<std::uint64_t>(at + 0),
        .timestamp_ns = load_le<std::uint64_t>(at + 16),
        .tensor_offset = load_le<std::uint64_t>(at + 24),
        .tensor_size = load_le<std::uint64_t>(at + 32),
    };
}

void ShmResponseEntry::encode_into(std::span<std::uint8_t, SIZE> out) const noexcept {
    std::uint8_t* at = out.data();
    store_le(at + 0, request_id);
    at[8] = is_error;
    std::fill(at + 9, at + 16, std::uint8_t{0});
    store_le(at + 16, aux_1);
    store_le(at + 24, result_offset);
    store_le(at + 32, aux_2);
    store_le(at + 40, error_offset);
}

ShmResponseEntry ShmResponseEntry::decode(std::span<const std::uint8_t, SIZE> in) noexcept {
    const std::uint8_t* at = in.data();
    return ShmResponseEntry{
        .request_id = load_le<std::uint64_t>(at + 0),
        .is_error = at[8],
        .aux_1 = load_le<std::uint64_t>(at + 16),
        .result_offset = load_le<std::uint64_t>(at + 24),
        .aux_2 = load_le<std::uint64_t>(at + 32),
        .error_offset = load_le<std::uint64_t>(at + 40),
    };
}

}  // namespace zorvo::shm
