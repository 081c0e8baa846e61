#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace zorvo::engine {

// A reply payload in up to three pieces: encoded bytes, with a run of bytes spliced in at
// `insert_at`. An echo takes over the tensor data decoded from the request, so the data is not
// copied into the encoding; the kernel gathers the pieces while sending.
struct ReplyPayload {
    std::vector<std::uint8_t> encoded;
    std::size_t insert_at = 0;
    std::vector<std::uint8_t> inserted;

    static ReplyPayload owned(std::vector<std::uint8_t> bytes) {
        ReplyPayload payload;
        payload.insert_at = bytes.size();
        payload.encoded = std::move(bytes);
        return payload;
    }

    std::size_t size() const noexcept { return encoded.size() + inserted.size(); }

    std::array<std::span<const std::uint8_t>, 3> pieces() const noexcept {
        const std::span<const std::uint8_t> all(encoded);
        return {all.first(insert_at), std::span<const std::uint8_t>(inserted), all.subspan(insert_at)};
    }
};

}  // namespace zorvo::engine
