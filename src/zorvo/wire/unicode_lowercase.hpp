#pragma once

#include <string>
#include <string_view>

namespace zorvo::wire {

// Lowercases UTF-8 text the way the host interpreter's str.lower() does: full mappings (one code
// point may become several) and the final-sigma rule for U+03A3. Pure-ASCII text takes a fast
// path that never consults the Unicode tables. Bytes that are not valid UTF-8 are copied as they
// are (callers pass validated text).
std::string unicode_lowercase(std::string_view utf8);

}  // namespace zorvo::wire
