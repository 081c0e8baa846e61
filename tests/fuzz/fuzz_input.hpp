#pragma once

// Splits one fuzzer input into the values a target needs. Reads past the end yield zeros, so a
// short input still drives every step.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

namespace zorvo::fuzz {

class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) noexcept : bytes_(data, size) {}

    std::uint8_t u8() noexcept {
        if (bytes_.empty()) return 0;
        const std::uint8_t value = bytes_.front();
        bytes_ = bytes_.subspan(1);
        return value;
    }

    std::uint64_t u64() noexcept {
        std::uint64_t value = 0;
        for (int i = 0; i < 8; ++i) value |= std::uint64_t{u8()} << (8 * i);
        return value;
    }

    // A value that is usually small (so valid paths are reached) and sometimes anything at all.
    std::uint64_t index_like(std::uint64_t small_bound) noexcept {
        const std::uint8_t mode = u8();
        const std::uint64_t raw = u64();
        return (mode & 3) == 0 ? raw : raw % small_bound;
    }

    std::span<const std::uint8_t> take(std::size_t length) noexcept {
        const std::size_t n = std::min(length, bytes_.size());
        const auto out = bytes_.first(n);
        bytes_ = bytes_.subspan(n);
        return out;
    }

    std::span<const std::uint8_t> rest() noexcept { return take(bytes_.size()); }
    bool empty() const noexcept { return bytes_.empty(); }

private:
    std::span<const std::uint8_t> bytes_;
};

// A violated property aborts, so libFuzzer records the input that got here as a crash.
inline void require(bool condition, const char* property) {
    if (condition) return;
    std::fprintf(stderr, "fuzz property violated: %s\n", property);
    std::abort();
}

}  // namespace zorvo::fuzz
