#include "zorvo/hybrid/exchange.hpp"

#include <algorithm>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "zorvo/common/byte_buffer.hpp"
#include "zorvo/common/text.hpp"
#include "zorvo/common/little_endian.hpp"

namespace zorvo::hybrid {

namespace {

// The payload buffer grows in steps of at most this much beyond what has arrived, so an announced
// length (up to 4 GiB) is never allocated before the bytes are really there.
constexpr std::size_t PAYLOAD_GROWTH_STEP = 64 * 1024;

// One answer. Header and payload usually arrive in a single receive into `first`; a payload
// longer than one record continues in `longer`, which holds all of it.
struct ResponseFrame {
    std::array<std::uint8_t, RESPONSE_FRAME_HEADER_SIZE + HYBRID_RESPONSE_SIZE> first{};
    std::uint32_t status = 0;
    std::size_t length = 0;
    ByteBuffer longer;
    // The peer sent bytes past the end of this frame, unasked: the connection is out of step.
    bool overran = false;

    std::span<const std::uint8_t> payload() const noexcept {
        if (length > HYBRID_RESPONSE_SIZE) return longer;
        return std::span<const std::uint8_t>(first).subspan(RESPONSE_FRAME_HEADER_SIZE, length);
    }
};

Task<Result<ResponseFrame, SystemError>> read_response_frame(Runtime& runtime, UnixStream& stream) {
    ResponseFrame frame;
    auto received = co_await stream.read_at_least(runtime, frame.first, RESPONSE_FRAME_HEADER_SIZE);
    if (!received.ok()) co_return fail(std::move(received).error());

    frame.status = load_le<std::uint32_t>(frame.first.data());
    frame.length = load_le<std::uint32_t>(frame.first.data() + 4);
    const std::size_t arrived = received.value() - RESPONSE_FRAME_HEADER_SIZE;
    frame.overran = arrived > frame.length;
    if (frame.length <= HYBRID_RESPONSE_SIZE) {
        if (arrived < frame.length) {
            auto rest = co_await stream.read_exact(
                runtime, std::span(frame.first).subspan(RESPONSE_FRAME_HEADER_SIZE + arrived, frame.length - arrived));
            if (!rest.ok()) co_return fail(std::move(rest).error());
        }
        co_return frame;
    }
    const auto head = std::span(frame.first).subspan(RESPONSE_FRAME_HEADER_SIZE, arrived);
    frame.longer.assign(head.begin(), head.end());
    while (frame.longer.size() < frame.length) {
        const std::size_t have = frame.longer.size();
        const std::size_t step = std::min(frame.length - have, std::max(have, PAYLOAD_GROWTH_STEP));
        frame.longer.resize(have + step);
        auto chunk = co_await stream.read_exact(runtime, std::span(frame.longer).subspan(have));
        if (!chunk.ok()) co_return fail(std::move(chunk).error());
    }
    co_return frame;
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
    // This answer is complete, but whatever followed it can no longer be matched to a request.
    if (response->overran) connection->reset();

    if (response->status != 0) co_return fail(utf8_lossy(response->payload()));
    auto decoded = HybridResponse::decode(response->payload());
    if (!decoded.ok()) co_return fail(std::move(decoded).error().message);
    co_return decoded.value();
}

}  // namespace zorvo::hybrid
