#include <algorithm>
#include <utility>
#include <vector>

#include "zorvo/wire/decoder.hpp"
#include "zorvo/wire/request.hpp"

namespace zorvo::wire {
namespace {

// Propagates a failed read out of the enclosing function.
#define ZORVO_TRY_READ(target, expression)                     \
    auto target##_result = (expression);                       \
    if (!target##_result) return fail(std::move(target##_result).error()); \
    auto target = std::move(target##_result).value()

Result<TensorDtype, DecodeError> read_dtype(Decoder& in) {
    ZORVO_TRY_READ(text, in.text());
    auto dtype = parse_dtype(text);
    if (!dtype) return fail(DecodeError{dtype.error().display()});
    return dtype.value();
}

Result<NamedTensor, DecodeError> read_named_tensor(Decoder& in) {
    ZORVO_TRY_READ(name, in.text());
    ZORVO_TRY_READ(shape, in.i64_list());
    ZORVO_TRY_READ(dtype, read_dtype(in));
    ZORVO_TRY_READ(data, in.bytes());
    return NamedTensor{std::move(name), std::move(shape), dtype, std::move(data)};
}

// Smallest encoding of a NamedTensor: three empty counts and the shortest dtype name ("u8").
constexpr std::size_t kMinNamedTensorSize = 8 + 8 + (8 + 2) + 8;

Result<std::vector<NamedTensor>, DecodeError> read_named_tensors(Decoder& in) {
    ZORVO_TRY_READ(count, in.count());
    std::vector<NamedTensor> tensors;
    // Reserve no more than the remaining input could hold; grow as elements arrive.
    tensors.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(count, in.remaining() / kMinNamedTensorSize)));
    for (std::uint64_t i = 0; i < count; ++i) {
        ZORVO_TRY_READ(tensor, read_named_tensor(in));
        tensors.push_back(std::move(tensor));
    }
    return tensors;
}

Result<std::string, DecodeError> read_optional_text_present(Decoder& in) {
    ZORVO_TRY_READ(present, in.optional_tag());
    if (!present) return fail(DecodeError{"expected a present optional value"});
    return in.text();
}

// Matches the bytes after the metadata tag against its fields in declaration order, each tried
// present before absent, until a combination ends exactly at the end of the input. Positions
// already known not to work for a field are remembered, so forged input cannot make the search
// explode.
class MetadataMatcher {
public:
    explicit MetadataMatcher(EngineRequestMetadata& out) : out_(out) {}

    bool match(Decoder in, std::size_t field) {
        if (in.at_end()) {
            end_ = in;
            return true;  // every remaining field absent
        }
        if (field >= kFieldCount || known_dead_end(field, in.position())) return false;
        if (try_field(in, field)) return true;
        dead_ends_.emplace_back(field, in.position());
        return false;
    }

    const Decoder& end() const { return end_; }

private:
    static constexpr std::size_t kFieldCount = 13;

    bool known_dead_end(std::size_t field, std::size_t position) const {
        return std::find(dead_ends_.begin(), dead_ends_.end(), std::pair{field, position}) != dead_ends_.end();
    }

    bool try_field(Decoder in, std::size_t field) {
        auto& m = out_;
        switch (field) {
            case 0: return try_slot(in, field, m.text_1, [](Decoder& d) { return d.text(); });
            case 1: return try_slot(in, field, m.u64_1, [](Decoder& d) { return d.u64(); });
            case 2: return try_slot(in, field, m.u8_1, [](Decoder& d) { return d.u8(); });
            case 3: return try_slot(in, field, m.flag_1, [](Decoder& d) { return d.boolean(); });
            case 4: return try_slot(in, field, m.text_2, [](Decoder& d) { return d.text(); });
            case 5: return try_slot(in, field, m.api_token, [](Decoder& d) { return d.text(); });
            case 6: return try_slot(in, field, m.int32_1, [](Decoder& d) { return d.i32(); });
            case 7: return try_slot(in, field, m.f32_1, [](Decoder& d) { return d.f32(); });
            case 8: return try_slot(in, field, m.f32_2, [](Decoder& d) { return d.f32(); });
            case 9: return try_slot(in, field, m.int32_2, [](Decoder& d) { return d.i32(); });
            case 10: return try_slot(in, field, m.f32_3, [](Decoder& d) { return d.f32(); });
            case 11: return try_slot(in, field, m.u64_2, [](Decoder& d) { return d.u64(); });
            case 12: return try_slot(in, field, m.int32_list_1, [](Decoder& d) { return d.i32_list(); });
            default: return false;
        }
    }

    template <class T, class Read>
    bool try_slot(Decoder in, std::size_t field, std::optional<T>& slot, Read read) {
        Decoder attempt = in;
        auto tag = attempt.u8();
        if (tag && tag.value() == 1) {
            auto value = read(attempt);
            if (value) {
                slot = std::move(value).value();
                if (match(attempt, field + 1)) return true;
                slot.reset();
            }
        }
        return match(in, field + 1);
    }

    EngineRequestMetadata& out_;
    Decoder end_{std::span<const std::uint8_t>{}};
    std::vector<std::pair<std::size_t, std::size_t>> dead_ends_;
};

// Metadata is always the last part: it runs to the end of the payload.
Result<EngineRequestMetadata, DecodeError> read_metadata(Decoder& in) {
    ZORVO_TRY_READ(present, in.optional_tag());
    if (!present) return fail(DecodeError{"expected a present optional value"});
    EngineRequestMetadata metadata;
    if (in.at_end()) return metadata;

    Decoder token_reader = in;
    auto token = read_optional_text_present(token_reader);
    if (token && token_reader.at_end()) {
        metadata.api_token = std::move(token).value();
        in = token_reader;
        return metadata;
    }
    MetadataMatcher matcher(metadata);
    if (!matcher.match(in, 0)) return fail(DecodeError{"request metadata does not match its fields"});
    in = matcher.end();
    return metadata;
}

struct Tail {
    std::optional<std::string> optional_text;
    std::optional<EngineRequestMetadata> metadata;
};

// Reads [optional_text] [metadata] up to the exact end of the input, trying T-M, M, T and then
// nothing; metadata comes before optional_text, which the client never sends.
Result<Tail, DecodeError> read_text_and_metadata(const Decoder& start) {
    std::optional<DecodeError> first_error;
    auto note = [&](DecodeError error) {
        if (!first_error) first_error = std::move(error);
    };
    {
        Decoder in = start;
        auto text = read_optional_text_present(in);
        if (text) {
            auto metadata = read_metadata(in);
            if (metadata && in.at_end()) return Tail{std::move(text).value(), std::move(metadata).value()};
            if (!metadata) note(std::move(metadata).error());
        } else {
            note(std::move(text).error());
        }
    }
    {
        Decoder in = start;
        auto metadata = read_metadata(in);
        if (metadata && in.at_end()) return Tail{std::nullopt, std::move(metadata).value()};
        if (!metadata) note(std::move(metadata).error());
    }
    {
        Decoder in = start;
        auto text = read_optional_text_present(in);
        if (text && in.at_end()) return Tail{std::move(text).value(), std::nullopt};
    }
    if (start.at_end()) return Tail{};
    return fail(first_error.value_or(DecodeError{"unexpected bytes after the request"}));
}

}  // namespace

Result<DecodedRequest, DecodeError> decode_inference_request(std::span<const std::uint8_t> payload) {
    Decoder in(payload);
    ZORVO_TRY_READ(shape, in.i64_list());
    ZORVO_TRY_READ(dtype, read_dtype(in));
    ZORVO_TRY_READ(data, in.bytes());
    DecodedRequest request{std::move(shape), dtype, std::move(data), {}, std::nullopt, std::nullopt};
    if (in.at_end()) return request;

    // Additional inputs first, as the longer layouts are preferred; without them, the same
    // bytes are tried as optional_text and metadata alone.
    std::optional<DecodeError> first_error;
    Decoder with_inputs = in;
    auto inputs = read_named_tensors(with_inputs);
    if (inputs) {
        auto tail = read_text_and_metadata(with_inputs);
        if (tail) {
            request.additional_inputs = std::move(inputs).value();
            request.optional_text = std::move(tail.value().optional_text);
            request.metadata = std::move(tail.value().metadata);
            return request;
        }
        first_error = std::move(tail).error();
    } else {
        first_error = std::move(inputs).error();
    }
    auto tail = read_text_and_metadata(in);
    if (!tail) return fail(std::move(*first_error));
    request.optional_text = std::move(tail.value().optional_text);
    request.metadata = std::move(tail.value().metadata);
    return request;
}

}  // namespace zorvo::wire

#undef ZORVO_TRY_READ
