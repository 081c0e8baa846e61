#pragma once

#include <cstddef>
#include <cstdint>

namespace zorvo::engine {

// Frame shapes and codes shared by every socket the engine serves (the hybrid kind and records
// come from zorvo/hybrid/protocol.hpp).
inline constexpr std::size_t kRequestHeaderSize = 12;   // model_id, kind, length (u32 LE each)
inline constexpr std::size_t kResponseHeaderSize = 8;   // status, length (u32 LE each)

inline constexpr std::uint32_t kKindInfer = 1;
inline constexpr std::uint32_t kKindStream = 2;

inline constexpr std::uint32_t kStatusOk = 0;
inline constexpr std::uint32_t kStatusStreamError = 1;
inline constexpr std::uint32_t kStatusStreamItem = 2;
inline constexpr std::uint32_t kStatusFailure = 1;

struct RequestHeader {
    std::uint32_t model_id = 0;
    std::uint32_t kind = 0;
    std::uint32_t length = 0;
};

}  // namespace zorvo::engine
