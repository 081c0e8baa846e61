#include "zorvo/shm/region_header.hpp"

#include <string>

#include "zorvo/common/little_endian.hpp"
#include "zorvo/shm/queue_layout.hpp"

namespace zorvo::shm {

RegionHeader decode_region_header(std::span<const std::uint8_t, REGION_HEADER_SIZE> bytes) noexcept {
    const std::uint8_t* at = bytes.data();
    RegionHeader header;
    header.magic = load_le<std::uint32_t>(at + 0);
    header.version = load_le<std::uint32_t>(at + 4);
    header.request_queue_offset = load_le<std::uint64_t>(at + 8);
    header.response_queue_offset = load_le<std::uint64_t>(at + 16);
    header.tensor_pool_offset = load_le<std::uint64_t>(at + 24);
    header.tensor_pool_size = load_le<std::uint64_t>(at + 32);
    header.notify_fd = load_le<std::int32_t>(at + 40);
    return header;
}

void encode_region_header(const RegionHeader& header,
                          std::span<std::uint8_t, REGION_HEADER_SIZE> bytes) noexcept {
    std::uint8_t* at = bytes.data();
    store_le(at + 0, header.magic);
    store_le(at + 4, header.version);
    store_le(at + 8, header.request_queue_offset);
    store_le(at + 16, header.response_queue_offset);
    store_le(at + 24, header.tensor_pool_offset);
    store_le(at + 32, header.tensor_pool_size);
    store_le(at + 40, header.notify_fd);
}

namespace {

std::string too_small(std::uint64_t size) {
    return "region of " + std::to_string(size) + " bytes is too small for its " +
           std::to_string(REGION_HEADER_SIZE) + "-byte header";
}

}  // namespace

Result<RegionHeader, ShmError> validate_region(std::span<const std::uint8_t> mapping) {
    const std::uint64_t size = mapping.size();
    // Magic before version, and both before the size check, so a foreign object is named as such.
    if (size >= 4 && load_le<std::uint32_t>(mapping.data()) != SHM_MAGIC) {
        return fail(ShmError::invalid_magic());
    }
    if (size >= 8 && load_le<std::uint32_t>(mapping.data() + 4) != SHM_VERSION) {
        return fail(ShmError::version_mismatch());
    }
    if (size < REGION_HEADER_SIZE) return fail(ShmError::invalid_layout(too_small(size)));

    const RegionHeader header = decode_region_header(mapping.first<REGION_HEADER_SIZE>());

    for (auto [what, offset] : {std::pair{"request", header.request_queue_offset},
                                std::pair{"response", header.response_queue_offset}}) {
        if (offset % 8 != 0) {
            return fail(ShmError::invalid_layout(std::string("region header places the ") + what +
                                                 " queue at offset " + std::to_string(offset) +
                                                 ", which is not a multiple of 8"));
        }
    }
    const bool inside = range_inside(header.request_queue_offset, REQUEST_QUEUE_BYTES, size) &&
                        range_inside(header.response_queue_offset, RESPONSE_QUEUE_BYTES, size) &&
                        range_inside(header.tensor_pool_offset, header.tensor_pool_size, size);
    if (!inside) {
        return fail(ShmError::invalid_layout(
            "region header describes queues or a tensor pool outside the " + std::to_string(size) +
            "-byte mapping"));
    }
    return header;
}

}  // namespace zorvo::shm
