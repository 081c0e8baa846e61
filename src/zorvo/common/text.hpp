#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace zorvo {

// Removes leading and trailing characters with the Unicode White_Space property from UTF-8 text.
std::string_view trim_white_space(std::string_view text) noexcept;

// Folds ASCII A-Z to a-z and leaves every other byte unchanged.
std::string ascii_lowercase(std::string_view text);

// Reads bytes as UTF-8, replacing each invalid sequence (maximal subpart) with U+FFFD.
std::string utf8_lossy(std::string_view bytes);
inline std::string utf8_lossy(std::span<const std::uint8_t> bytes) {
    return utf8_lossy(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

}  // namespace zorvo
