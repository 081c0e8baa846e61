#include "zorvo/hybrid/exchange.hpp"

#include <algorithm>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "zorvo/common/text.hpp"
#include "zorvo/common/little_endian.hpp"

namespace zorvo::hybrid {

namespace {

// The payload buffer grows in steps of at most this much beyond what has arrived, so an announced
// length (up to 4 GiB) is never allocated before the bytes are really there.
constexpr std::size_t PAYLOAD_GROWTH_STEP = 64 * 1024;

struct ResponseFrame {
    std::uint32_t status = 0;
    std::vector<std::uint8_t> payload;
};

Task<Result<ResponseFrame, SystemError>> read_response_frame(Runtime& runtime, UnixStream& stream) {
    std::array<std::uint8_t, RESPONSE_FRAME_HEADER_SIZE> header{};
    auto received = co_await stream.read_exact(runtime, header);
    if (!received.ok()) co_return fail(std::move(received).error());

    ResponseFrame frame;
    frame.status = load_le<std::uint32_t>(header.data());
    const std::size_t length = load_le<std::uint32_t>(header.data() + 4);
    frame.payload.reserve(std::min(length, PAYLOAD_GROWTH_STEP));
    while (frame.payload.size() < length) {
        const std::size_t have = frame.payload.size();
        const std::size_t step = std::min(length - have, std::max(have, PAYLOAD_GROWTH_STEP));
        frame.payload.resize(have + step);
        auto chunk = co_await stream.read_exact(runtime, std::span(frame.payload).subspan(have));
        if (!chunk.ok()) co_return fail(std::move(chunk).error());
    }
    co_return frame;
}

std::string lossy_text(const std::vector<std::uint8_t>& bytes) {
    return utf8_lossy(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

}  // namespace

Task<Result<HybridResponse, std::string>> exchange(Runtime& runtime, std::string socket_path,
                                                   std::shared_ptr<ControlConnection> control,
                                                   HybridRequest request) {
    auto connection = co_await control->lock(runtime);
    if (!connection->has_value()) {
        auto opened = co_await UnixStream::connect(runtime, std::move(socket_path));
        if (!opened.ok()) co_return fail(opened.error().display());
        connection->emplace(std::move(opened).value());
    }
    UnixStream& stream = **connection;

    const auto frame = encode_request_frame(request);
    auto written = co_await stream.write_all(runtime, frame);
    if (!written.ok()) {
        connection->reset();
        co_return fail(written.error().display());
    }
    auto response = co_await read_response_frame(runtime, stream);
    if (!response.ok()) {
        connection->reset();
        co_return fail(response.error().display());
    }

    if (response->status != 0) co_return fail(lossy_text(response->payload));
    auto decoded = HybridResponse::decode(response->payload);
    if (!decoded.ok()) co_return fail(std::move(decoded).error().message);
    co_return decoded.value();
}

}  // namespace zorvo::hybrid
