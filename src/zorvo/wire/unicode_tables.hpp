#pragma once

#include <array>
#include <cstdint>
#include <span>

// Lowercase data captured from the host interpreter's str.lower() by
// scripts/gen_unicode_lowercase.py; defined in the generated unicode_lowercase_table.cpp.
// Every table is sorted by code point.
namespace zorvo::wire::unicode_tables {

// Code points start, start + step, ... (count of them) each lowercase to themselves + delta.
struct LowercaseRun {
    std::uint32_t start;
    std::uint16_t count;
    std::uint8_t step;
    std::int32_t delta;
};

// A code point whose lowercase form is more than one code point.
struct MultiLowercase {
    std::uint32_t code_point;
    std::uint8_t length;
    std::array<char32_t, 3> lowered;
};

// Inclusive range of code points.
struct CodePointRange {
    std::uint32_t first;
    std::uint32_t last;
};

std::span<const LowercaseRun> lowercase_runs() noexcept;
std::span<const MultiLowercase> multi_lowercase() noexcept;
// The sets the final-sigma context consults. `cased` lists only characters that are not
// case-ignorable: the context skips ignorable ones before it asks whether a character is cased.
std::span<const CodePointRange> case_ignorable() noexcept;
std::span<const CodePointRange> cased() noexcept;

}  // namespace zorvo::wire::unicode_tables
