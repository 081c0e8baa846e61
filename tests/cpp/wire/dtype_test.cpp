#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "zorvo/wire/dtype.hpp"
#include "zorvo/wire/unicode_lowercase.hpp"

namespace zorvo::wire {
namespace {

std::string parse_failure(std::string_view text) {
    auto result = parse_dtype(text);
    EXPECT_FALSE(result.ok()) << text;
    return result.ok() ? std::string() : result.error().display();
}

TEST(DtypeTest, AcceptsEverySpellingInAnyCase) {
    const std::pair<const char*, TensorDtype> cases[] = {
        {"float32", TensorDtype::Float32}, {"FP32", TensorDtype::Float32},   {"Float64", TensorDtype::Float64},
        {"fp64", TensorDtype::Float64},    {"FP16", TensorDtype::Float16},   {"Float16", TensorDtype::Float16},
        {"FLOAT16", TensorDtype::Float16}, {"int32", TensorDtype::Int32},    {"I32", TensorDtype::Int32},
        {"INT64", TensorDtype::Int64},     {"i64", TensorDtype::Int64},      {"uint8", TensorDtype::Uint8},
        {"u8", TensorDtype::Uint8},        {"utf8", TensorDtype::String},    {"STRING", TensorDtype::String},
    };
    for (const auto& [text, expected] : cases) {
        auto result = parse_dtype(text);
        ASSERT_TRUE(result.ok()) << text;
        EXPECT_EQ(result.value(), expected) << text;
    }
}

TEST(DtypeTest, CanonicalNamesParseBackToTheirValue) {
    for (auto dtype : {TensorDtype::Float32, TensorDtype::Float64, TensorDtype::Float16, TensorDtype::Int32,
                       TensorDtype::Int64, TensorDtype::Uint8, TensorDtype::String}) {
        auto parsed = parse_dtype(canonical_name(dtype));
        ASSERT_TRUE(parsed.ok());
        EXPECT_EQ(parsed.value(), dtype);
    }
    EXPECT_EQ(canonical_name(TensorDtype::Uint8), "uint8");
    EXPECT_EQ(canonical_name(TensorDtype::String), "string");
}

TEST(DtypeTest, RejectionReportsTheLowercasedTextUntrimmed) {
    EXPECT_EQ(parse_failure(" float32"), "Invalid input: Unsupported dtype:  float32");
    EXPECT_EQ(parse_failure("Float-32"), "Invalid input: Unsupported dtype: float-32");
    EXPECT_EQ(parse_failure("float32 "), "Invalid input: Unsupported dtype: float32 ");
    EXPECT_EQ(parse_failure(""), "Invalid input: Unsupported dtype: ");
    EXPECT_EQ(parse_failure("COMPLEX64"), "Invalid input: Unsupported dtype: complex64");
    auto result = parse_dtype("bf16");
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind(), EngineError::Kind::InvalidInput);
}

TEST(DtypeTest, NonAsciiLettersAreLoweredLikeThePythonInterpreter) {
    // Kelvin sign lowers to ASCII k, but no spelling contains k; dotted capital I lowers to two
    // code points, so "İNT32" is not "int32".
    EXPECT_EQ(parse_failure("\u0130NT32"), "Invalid input: Unsupported dtype: i\u0307nt32");
    EXPECT_EQ(parse_failure("FLOAT\u03a3"), "Invalid input: Unsupported dtype: float\u03c2");
    EXPECT_EQ(parse_failure("\u03a3"), "Invalid input: Unsupported dtype: \u03c3");
}

struct LowercaseVector {
    const char* input;
    const char* expected;
};

constexpr LowercaseVector kPythonVectors[] = {
#include "unicode_lowercase_vectors.inc"
};

TEST(UnicodeLowercaseTest, MatchesPythonStrLower) {
    ASSERT_GT(std::size(kPythonVectors), 400u);
    for (const auto& vector : kPythonVectors) {
        EXPECT_EQ(unicode_lowercase(vector.input), vector.expected) << vector.input;
    }
}

TEST(UnicodeLowercaseTest, FinalSigmaContext) {
    // Σ after a cased letter and not before one becomes ς; case-ignorable marks are skipped.
    EXPECT_EQ(unicode_lowercase("A\u03a3"), "a\u03c2");
    EXPECT_EQ(unicode_lowercase("A\u03a3B"), "a\u03c3b");
    EXPECT_EQ(unicode_lowercase("A\u0301\u03a3"), "a\u0301\u03c2");
    EXPECT_EQ(unicode_lowercase("A\u03a3\u0301B"), "a\u03c3\u0301b");
    EXPECT_EQ(unicode_lowercase("1\u03a3"), "1\u03c3");
    EXPECT_EQ(unicode_lowercase("\u0391\u03a3 \u0391\u03a3"), "\u03b1\u03c2 \u03b1\u03c2");
}

TEST(UnicodeLowercaseTest, AsciiAndInvalidBytes) {
    EXPECT_EQ(unicode_lowercase("MiXeD-09_Z"), "mixed-09_z");
    // Bytes outside valid UTF-8 are kept as they are and never read past the end.
    const std::string broken = std::string("A\xff") + "\xce";
    EXPECT_EQ(unicode_lowercase(broken), std::string("a\xff") + "\xce");
    EXPECT_EQ(unicode_lowercase(std::string("\xc3\x84\xe2\x82")), std::string("\xc3\xa4\xe2\x82"));
}

TEST(EngineErrorTest, DisplayTexts) {
    EXPECT_EQ(EngineError::backend("gpu lost", "driver").display(), "Backend error: gpu lost");
    EXPECT_EQ(EngineError::invalid_input("bad").display(), "Invalid input: bad");
    EXPECT_EQ(EngineError::model_not_loaded().display(), "Model not loaded");
    EXPECT_EQ(EngineError::overloaded("queue").display(), "System overloaded: queue");
    EXPECT_EQ(EngineError::model_load("resnet", "file missing").display(), "Model load error for resnet: file missing");
    EXPECT_EQ(EngineError::inference("nan").display(), "Inference error: nan");
    EXPECT_EQ(EngineError::timeout("5s").display(), "Timeout: 5s");
    EXPECT_EQ(EngineError::resource_exhausted("vram").display(), "Resource exhausted: vram");
    EXPECT_EQ(EngineError::cancelled("user").display(), "Cancelled: user");
    EXPECT_EQ(EngineError::model_load("m", "x").kind(), EngineError::Kind::ModelLoad);
}

}  // namespace
}  // namespace zorvo::wire
