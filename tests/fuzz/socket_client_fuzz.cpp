// The socket client's handling of engine replies. The same bytes go to a full inference (through a
// stand-in engine on a Unix socket) and to a stream reader (through a socket pair); both are
// compared with a plain reading of the frames: header, payload, status, tensor packet.

#include <fcntl.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz_input.hpp"
#include "scripted_peer.hpp"
#include "zorvo/common/text.hpp"
#include "zorvo/net/response_frame.hpp"
#include "zorvo/net/socket_client.hpp"
#include "zorvo/net/stream.hpp"
#include "zorvo/wire/tensor_packet.hpp"

namespace {

using zorvo::fuzz::require;
using Bytes = std::vector<std::uint8_t>;

std::uint32_t le32(std::span<const std::uint8_t> at) {
    return at[0] | at[1] << 8 | at[2] << 16 | std::uint32_t{at[3]} << 24;
}

std::string lossy(std::span<const std::uint8_t> bytes) {
    return zorvo::utf8_lossy(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

// What one reply frame should turn into.
struct Expected {
    enum class Kind { Item, Error, End, Truncated } kind;
    Bytes data{};
    std::optional<std::string> message{};
    std::size_t frame_size = 0;
    bool from_engine = false;  // an error status, as opposed to an undecodable item
};

Expected read_frame(std::span<const std::uint8_t> reply, bool streaming) {
    if (reply.size() < zorvo::net::kResponseHeaderSize) return {Expected::Kind::Truncated};
    const std::uint32_t status = le32(reply);
    const std::uint32_t length = le32(reply.subspan(4));
    if (streaming && length == 0) return {Expected::Kind::End, {}, {}, 8};
    if (reply.size() - 8 < length) return {Expected::Kind::Truncated};
    const auto payload = reply.subspan(8, length);
    const std::size_t frame_size = 8 + std::size_t{length};

    const bool is_error = streaming ? status == zorvo::net::kStreamErrorStatus : status != 0;
    const bool is_item = streaming ? status == zorvo::net::kStreamItemStatus : status == 0;
    if (is_error) return {Expected::Kind::Error, {}, lossy(payload), frame_size, true};
    if (!is_item) return {Expected::Kind::End, {}, {}, frame_size};
    auto packet = zorvo::wire::decode_tensor_packet(payload);
    if (!packet.ok()) return {Expected::Kind::Error, {}, packet.error().message, frame_size};
    return {Expected::Kind::Item, std::move(packet.value().data), {}, frame_size};
}

void check_infer(zorvo::fuzz::ScriptedPeer& peer, std::span<const std::uint8_t> reply) {
    peer.script(reply);
    const zorvo::net::SocketClient client(zorvo::net::ConnectionTarget::unix_socket(peer.path()), std::nullopt, 0);
    const std::int64_t shape[] = {2};
    const std::uint8_t tensor[] = {1, 2};
    auto result = client.infer(7, {shape, "uint8", tensor}, {});

    const Expected expected = read_frame(reply, false);
    const auto requests = peer.requests();
    switch (expected.kind) {
        case Expected::Kind::Truncated:
            require(!result.ok() && result.error().is_io(), "a cut-off reply is not a transport error");
            require(requests.size() == 2, "a transport failure is not retried exactly once");
            return;
        case Expected::Kind::Error:
            require(!result.ok() && result.error().message() == *expected.message,
                    "an error reply is not reported with its text");
            require(result.error().kind() == (expected.from_engine ? zorvo::net::ClientError::Kind::Server
                                                                   : zorvo::net::ClientError::Kind::Serialization),
                    "an error reply is reported as the wrong kind");
            break;
        case Expected::Kind::Item:
            require(result.ok() && result.value() == expected.data, "the result data differs from the reply");
            break;
        case Expected::Kind::End:
            require(false, "a single reply never ends a stream");
    }
    require(requests.size() == 1, "a complete reply was retried");
}

// Writes what fits into one end of a socket pair and closes it; the other end is the reader's.
std::optional<std::pair<zorvo::net::Connection, std::size_t>> preloaded_connection(std::span<const std::uint8_t> bytes) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return std::nullopt;
    zorvo::UniqueFd writer(fds[1]);
    zorvo::net::Connection reader(fds[0]);
    ::fcntl(writer.get(), F_SETFL, O_NONBLOCK);
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::send(writer.get(), bytes.data() + written, bytes.size() - written, MSG_NOSIGNAL);
        if (n <= 0) break;
        written += static_cast<std::size_t>(n);
    }
    return std::pair{std::move(reader), written};
}

void check_stream(std::span<const std::uint8_t> bytes) {
    auto preloaded = preloaded_connection(bytes);
    if (!preloaded) return;
    auto remaining = bytes.first(preloaded->second);
    zorvo::net::StreamReader reader(std::move(preloaded->first));

    for (int step = 0; step < 64; ++step) {
        auto next = reader.next();
        const Expected expected = read_frame(remaining, true);
        switch (expected.kind) {
            case Expected::Kind::Truncated:
                require(!next.ok(), "a cut-off stream frame is not an error");
                return;
            case Expected::Kind::Error:
                require(!next.ok() && next.error().message == *expected.message, "a stream error is misreported");
                break;
            case Expected::Kind::Item:
                require(next.ok() && next.value() && *next.value() == expected.data, "a stream item differs");
                break;
            case Expected::Kind::End:
                require(next.ok() && !next.value() && reader.finished(), "the stream did not end");
                auto after = reader.next();
                require(after.ok() && !after.value(), "the stream yields after its end");
                return;
        }
        remaining = remaining.subspan(expected.frame_size);
    }
}

// An announced length far beyond the bytes sent costs the client a large first buffer on every
// attempt; mostly such lengths are folded back to near the bytes present, so that the fuzzer
// spends its time on frame contents. One input in 32 keeps its lengths as they are.
Bytes fold_lengths(std::span<const std::uint8_t> input) {
    Bytes reply(input.begin(), input.end());
    std::size_t at = 0;
    while (reply.size() - at >= zorvo::net::kResponseHeaderSize) {
        const std::size_t available = reply.size() - at - 8;
        std::uint32_t length = le32(std::span(reply).subspan(at + 4));
        if (length > available + 16) {
            length = static_cast<std::uint32_t>(length % (available + 17));
            for (int i = 0; i < 4; ++i) reply[at + 4 + i] = static_cast<std::uint8_t>(length >> (8 * i));
        }
        if (length > available) break;
        at += 8 + std::size_t{length};
    }
    return reply;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static zorvo::fuzz::ScriptedPeer peer;
    zorvo::fuzz::FuzzInput input(data, size);
    const bool keep_lengths = input.u8() % 32 == 0;
    const auto rest = input.rest();
    const Bytes reply = keep_lengths ? Bytes(rest.begin(), rest.end()) : fold_lengths(rest);
    check_infer(peer, reply);
    check_stream(reply);
    return 0;
}
