#include "zorvo/wire/tensor_packet.hpp"

#include "zorvo/wire/base64.hpp"
#include "zorvo/wire/decoder.hpp"
#include "zorvo/wire/encoder.hpp"

namespace zorvo::wire {

Result<BinaryTensorPacketView, DecodeError> decode_tensor_packet_view(std::span<const std::uint8_t> payload) {
    Decoder in(payload);
    auto shape = in.i64_list();
    if (!shape) return fail(std::move(shape).error());
    auto dtype_text = in.text();
    if (!dtype_text) return fail(std::move(dtype_text).error());
    auto dtype = parse_dtype(dtype_text.value());
    if (!dtype) return fail(DecodeError{dtype.error().display()});

    auto has_data = in.optional_tag();
    if (!has_data) return fail(std::move(has_data).error());
    std::optional<std::span<const std::uint8_t>> data;
    if (has_data.value()) {
        auto bytes = in.bytes_view();
        if (!bytes) return fail(std::move(bytes).error());
        data = bytes.value();
    }
    auto has_base64 = in.optional_tag();
    if (!has_base64) return fail(std::move(has_base64).error());
    std::optional<std::string> base64_text;
    if (has_base64.value()) {
        auto text = in.text();
        if (!text) return fail(std::move(text).error());
        base64_text = std::move(text).value();
    }

    if (data) {
        if (base64_text) return fail(DecodeError{"binary tensor payload must include only one of `data` or `data_base64`"});
        return BinaryTensorPacketView{std::move(shape).value(), dtype.value(), *data, {}};
    }
    if (!base64_text) return fail(DecodeError{"binary tensor payload must include `data` or `data_base64`"});
    auto decoded = base64_decode(*base64_text);
    if (!decoded) return fail(DecodeError{std::move(decoded).error()});
    return BinaryTensorPacketView{std::move(shape).value(), dtype.value(), {}, std::move(decoded).value()};
}

Result<BinaryTensorPacket, DecodeError> decode_tensor_packet(std::span<const std::uint8_t> payload) {
    auto view = decode_tensor_packet_view(payload);
    if (!view) return fail(std::move(view).error());
    BinaryTensorPacketView& packet = view.value();
    std::vector<std::uint8_t> data = packet.decoded
                                         ? std::move(*packet.decoded)
                                         : std::vector<std::uint8_t>(packet.direct.begin(), packet.direct.end());
    return BinaryTensorPacket{std::move(packet.shape), std::move(data), packet.dtype};
}

std::vector<std::uint8_t> encode_tensor_payload(std::span<const std::int64_t> shape, std::string_view dtype_text,
                                                const std::optional<std::span<const std::uint8_t>>& data,
                                                const std::optional<std::string_view>& data_base64) {
    const std::size_t size = encoded::list(shape.size(), 8) + encoded::text(dtype_text) + encoded::kTag +
                             (data ? encoded::bytes(data->size()) : 0) + encoded::kTag +
                             (data_base64 ? encoded::text(*data_base64) : 0);
    std::vector<std::uint8_t> out(size);
    Encoder encoder(out);
    encoder.i64_list(shape);
    encoder.text(dtype_text);
    if (data) {
        encoder.present();
        encoder.bytes(*data);
    } else {
        encoder.absent();
    }
    if (data_base64) {
        encoder.present();
        encoder.text(*data_base64);
    } else {
        encoder.absent();
    }
    return out;
}

}  // namespace zorvo::wire
