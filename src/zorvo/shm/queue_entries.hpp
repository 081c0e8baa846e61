#pragma once

#include <cstdint>
#include <span>

#include "zorvo/common/little_endian.hpp"
#include "zorvo/shm/queue_layout.hpp"
#include "zorvo/wire/transport_metadata.hpp"

namespace zorvo::shm {

// The 40-byte request record both shared-memory transports announce: a transport metadata record,
// then the tensor block's offset and size. The queue entry and the hybrid request are this record.
void encode_request_record(const wire::TransportRequestMetadata& metadata, std::uint64_t tensor_offset,
                           std::uint64_t tensor_size, std::span<std::uint8_t, REQUEST_ENTRY_SIZE> out) noexcept;

// A request announced to the engine: 40 bytes, little-endian. Bytes 8..15 are reserved zeros,
// so the first 24 bytes read as a transport metadata record.
struct ShmRequestEntry {
    static constexpr std::size_t SIZE = REQUEST_ENTRY_SIZE;

    std::uint64_t request_id = 0;
    std::uint64_t timestamp_ns = 0;
    std::uint64_t tensor_offset = 0;
    std::uint64_t tensor_size = 0;

    // Inline, word by word: every push encodes one.
    void encode_into(std::span<std::uint8_t, SIZE> out) const noexcept {
        std::uint8_t* at = out.data();
        store_le(at + 0, request_id);
        store_le(at + 8, std::uint64_t{0});  // the metadata record's parameter and flags
        store_le(at + 16, timestamp_ns);
        store_le(at + 24, tensor_offset);
        store_le(at + 32, tensor_size);
    }
    static ShmRequestEntry decode(std::span<const std::uint8_t, SIZE> in) noexcept;

    friend bool operator==(const ShmRequestEntry&, const ShmRequestEntry&) = default;
};

// The engine's answer: 48 bytes, little-endian. Bytes 9..15 are reserved.
struct ShmResponseEntry {
    static constexpr std::size_t SIZE = RESPONSE_ENTRY_SIZE;

    std::uint64_t request_id = 0;
    std::uint8_t is_error = 0;
    std::uint64_t aux_1 = 0;
    std::uint64_t result_offset = 0;
    std::uint64_t aux_2 = 0;
    std::uint64_t error_offset = 0;

    void encode_into(std::span<std::uint8_t, SIZE> out) const noexcept;
    static ShmResponseEntry decode(std::span<const std::uint8_t, SIZE> in) noexcept;

    friend bool operator==(const ShmResponseEntry&, const ShmResponseEntry&) = default;
};

}  // namespace zorvo::shm
