#include "zorvo/net/nonblocking_exchange.hpp"
#include "zorvo/net/socket_result.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace zorvo::net {
namespace {

using Progress = NonBlockingExchange::Progress;

// The frame of a uint8 tensor, as the blocking exchange would send it (a large tensor's bytes
// borrowed from `data`).
RequestFrame frame_of(const std::vector<std::uint8_t>& data) {
    const std::array<std::int64_t, 1> shape{static_cast<std::int64_t>(data.size())};
    const std::optional<std::string> no_token;
    auto frame = encode_request_frame({1, kInferKind, TensorArgs{shape, "uint8", data}, {}, no_token});
    EXPECT_TRUE(frame.ok());
    return std::move(frame).value();
}

// The exchange on one end of a socket pair; the test plays the engine on the other, never blocking.
struct Pair {
    explicit Pair(std::size_t tensor_bytes) : data(tensor_bytes, 0x5A), exchange(frame_of(data), nullptr) {
        const RequestFrame same = frame_of(data);
        for (const auto& piece : same.pieces()) sent_frame.insert(sent_frame.end(), piece.begin(), piece.end());
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        client = fds[0];
        engine = fds[1];
    }
    ~Pair() { ::close(engine); }

    // Everything the client has sent so far.
    std::vector<std::uint8_t> drain() const {
        std::vector<std::uint8_t> chunk(1 << 16);
        std::vector<std::uint8_t> all;
        for (;;) {
            const ssize_t n = ::recv(engine, chunk.data(), chunk.size(), MSG_DONTWAIT);
            if (n <= 0) return all;
            all.insert(all.end(), chunk.begin(), chunk.begin() + n);
        }
    }

    std::vector<std::uint8_t> data;
    NonBlockingExchange exchange;
    std::vector<std::uint8_t> sent_frame;
    int client = -1;
    int engine = -1;
};

TEST(NonBlockingExchange, SendsTheWholeFrameAndReadsAnAnswerThatArrivesInPieces) {
    Pair pair(4 << 20);  // more than the socket buffer holds: the send has to wait for the reader
    auto progress = pair.exchange.begin(Connection(pair.client));
    std::vector<std::uint8_t> received;
    while (progress == Progress::WantWrite) {
        auto chunk = pair.drain();
        received.insert(received.end(), chunk.begin(), chunk.end());
        progress = pair.exchange.advance();
    }
    auto rest = pair.drain();
    received.insert(received.end(), rest.begin(), rest.end());
    EXPECT_EQ(received, pair.sent_frame);
    ASSERT_EQ(progress, Progress::WantRead);

    const auto answer = testing::response_frame(0, testing::tensor_payload({7, 8, 9}));
    for (std::size_t at = 0; at < answer.size(); ++at) {  // one byte at a time, header included
        ASSERT_EQ(pair.exchange.advance(), Progress::WantRead);
        ASSERT_EQ(::send(pair.engine, answer.data() + at, 1, 0), 1);
    }
    ASSERT_EQ(pair.exchange.advance(), Progress::Finished);
    ASSERT_TRUE(pair.exchange.outcome().ok());
    auto& frame = pair.exchange.outcome().value();
    auto result = socket_result(frame.status, std::move(frame.payload));
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result.value(), (std::vector<std::uint8_t>{7, 8, 9}));
}

TEST(NonBlockingExchange, EndsWithTheErrorsOfTheBlockingExchange) {
    struct Case {
        std::vector<std::uint8_t> answer;
        bool close_after;
        std::string text;  // of the transport error, or of the engine's error once decoded
    };
    const std::vector<Case> cases = {
        {testing::response_frame(1, testing::text_bytes("model failed")), false, "model failed"},
        {{0, 0, 0, 0, 9, 0, 0, 0, 1, 2}, true, "failed to fill whole buffer"},  // 9 announced, 2 sent
        {{}, true, "failed to fill whole buffer"},
    };
    for (const Case& c : cases) {
        Pair pair(16);
        ASSERT_EQ(pair.exchange.begin(Connection(pair.client)), Progress::WantRead);
        if (!c.answer.empty()) {
            ASSERT_EQ(::send(pair.engine, c.answer.data(), c.answer.size(), 0), ssize_t(c.answer.size()));
        }
        if (c.close_after) ::shutdown(pair.engine, SHUT_WR);
        ASSERT_EQ(pair.exchange.advance(), Progress::Finished);
        auto& outcome = pair.exchange.outcome();
        std::string text;
        if (outcome.ok()) {
            auto result = socket_result(outcome.value().status, std::move(outcome.value().payload));
            ASSERT_FALSE(result.ok());
            text = result.error().message();
        } else {
            text = outcome.error().display();
        }
        EXPECT_NE(text.find(c.text), std::string::npos) << text;
    }
}

}  // namespace
}  // namespace zorvo::net
