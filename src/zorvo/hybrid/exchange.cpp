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
    // The peer sent bytes past the end of this frame, unasked: the connection is out of step.
    bool overran = false;
};

Task<Result<ResponseFrame, SystemError>> read_response_frame(Runtime& runtime, UnixStream& stream) {
    // A successful answer is a header and one record; both usually arrive together and are taken
    // with a single receive.
    std::array<std::uint8_t, RESPONSE_FRAME_HEADER_SIZE + HYBRID_RESPONSE_SIZE> first{};
    auto received = co_await stream.read_answer(runtime, first, RESPONSE_FRAME_HEADER_SIZE);
    if (!received.ok()) co_return fail(std::move(received).error());

    ResponseFrame frame;
    frame.status = load_le<std::uint32_t>(first.data());
    const std::size_t length = load_le<std::uint32_t>(first.data() + 4);
    const std::size_t arrived = received.value() - RESPONSE_FRAME_HEADER_SIZE;
    const std::size_t taken = std::min(arrived, length);
    frame.overran = arrived > length;
    frame.payload.assign(first.begin() + RESPONSE_FRAME_HEADER_SIZE,
                         first.begin() + static_cast<std::ptrdiff_t>(RESPONSE_FRAME_HEADER_SIZE + taken));
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
    // This answer is complete, but whatever followed it can no longer be matched to a request.
    if (response->overran) connection->reset();

    if (response->status != 0) co_return fail(lossy_text(response->payload));
    auto decoded = HybridResponse::decode(response->payload);
    if (!decoded.ok()) co_return fail(std::move(decoded).error().message);
    co_return decoded.value();
}

}  // namespace zorvo::hybrid
