#pragma once

#include <cstdint>
#include <string>

namespace zorvo::wire {

// A record could not be read from its bytes; `message` is the text callers report.
struct DecodeError {
    std::string message;

    // Input ended inside a fixed-width value, a count, a tag or a list element.
    static DecodeError unexpected_eof() { return {"io error: unexpected end of file"}; }
    // A text's byte count exceeds the remaining input.
    static DecodeError text_past_end() { return {"io error: "}; }
    static DecodeError invalid_utf8(const std::string& description) {
        return {"string is not valid utf8: " + description};
    }
    static DecodeError invalid_tag(std::uint8_t tag) {
        return {"tag for enum is not valid, found " + std::to_string(tag)};
    }
    static DecodeError invalid_bool(std::uint8_t value) {
        return {"invalid u8 while decoding bool, expected 0 or 1, found " + std::to_string(value)};
    }
};

}  // namespace zorvo::wire
