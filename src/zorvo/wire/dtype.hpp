#pragma once

#include <cstdint>
#include <string_view>

#include "zorvo/common/result.hpp"
#include "zorvo/wire/engine_error.hpp"

namespace zorvo::wire {

// Element type of a tensor. The enumerator order is its in-process identity; the wire carries
// the canonical name instead.
enum class TensorDtype : std::uint8_t { Float32, Float64, Float16, Int32, Int64, Uint8, String };

// "float32", "float64", "float16", "int32", "int64", "uint8" or "string".
std::string_view canonical_name(TensorDtype dtype) noexcept;

// Lowercases the whole text as the interpreter's str.lower() does, then matches it exactly (no
// trimming) against the canonical names and "fp32", "fp64", "fp16", "i32", "i64", "u8", "utf8".
// Failure: InvalidInput "Unsupported dtype: " + the lowercased text.
Result<TensorDtype, EngineError> parse_dtype(std::string_view utf8_text);

}  // namespace zorvo::wire
