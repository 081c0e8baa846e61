#include "zorvo/net/connection.hpp"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <numeric>
#include <span>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace zorvo::net {
namespace {

struct SocketPair {
    Connection left;
    Connection right;
};

SocketPair make_pair(bool (*keep_waiting)() = nullptr) {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    return {Connection(fds[0], keep_waiting), Connection(fds[1])};
}

std::vector<std::uint8_t> pattern(std::size_t size, std::uint8_t seed) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 31);
    return bytes;
}

TEST(Connection, ReadExactFailsWithFixedTextWhenPeerClosesEarly) {
    auto [reader, writer] = make_pair();
    const std::array<std::uint8_t, 3> partial{1, 2, 3};
    ASSERT_TRUE(writer.write_all(partial).ok());
    { Connection closing = std::move(writer); }

    std::array<std::uint8_t, 8> buffer{};
    auto result = reader.read_exact(buffer);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind(), ErrorKind::UnexpectedEof);
    EXPECT_EQ(result.error().display(), "failed to fill whole buffer");
    EXPECT_EQ(buffer[0], 1);
    EXPECT_EQ(buffer[2], 3);
}

TEST(Connection, WriteToClosedPeerIsBrokenPipeWithoutSignal) {
    for (const bool gathered : {false, true}) {
        auto [writer, reader] = make_pair();
        { Connection closing = std::move(reader); }
        const std::vector<std::uint8_t> bytes(64, 7);
        const std::array<std::span<const std::uint8_t>, 1> pieces{bytes};
        // Without MSG_NOSIGNAL the process would die of SIGPIPE here.
        auto result = gathered ? writer.write_all_gathered(pieces) : writer.write_all(bytes);
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error().kind(), ErrorKind::BrokenPipe);
        EXPECT_NE(result.error().display().find("(os error 32)"), std::string::npos);
    }
}

bool keep_waiting() { return true; }

// Whole, or gathered from odd, empty and more pieces than one send takes. The writer's short send
// timeout, which the reader's pauses outlast, makes sends stop part-way through pieces or time out
// with nothing sent (blocking sends return early only then).
class LargeTransfer : public ::testing::TestWithParam<bool> {};

TEST_P(LargeTransfer, ArrivesIntactThroughPartialReadsAndWrites) {
    auto [writer, reader] = make_pair(&keep_waiting);
    const timeval timeout{0, 1000};
    ASSERT_EQ(::setsockopt(writer.native_handle(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout), 0);
    const auto sent = pattern(3 << 20, 5);  // far beyond one socket buffer
    std::vector<std::span<const std::uint8_t>> pieces;
    std::size_t at = 0;
    for (const std::size_t length : {0, 7, 1, 0, 5000, 3, 1 << 20, 11, 2, 0, 1, 1, 4096}) {
        pieces.push_back(std::span(sent).subspan(at, length));
        at += length;
    }
    pieces.push_back(std::span(sent).subspan(at));
    std::thread sender([&, &writer = writer] {
        EXPECT_TRUE((GetParam() ? writer.write_all_gathered(pieces) : writer.write_all(sent)).ok());
    });
    std::vector<std::uint8_t> received(sent.size());
    for (at = 0; at < received.size(); at += 1 << 20) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_TRUE(reader.read_exact(std::span(received).subspan(at, 1 << 20)).ok());
    }
    sender.join();
    EXPECT_EQ(received, sent);
}

INSTANTIATE_TEST_SUITE_P(WholeAndGathered, LargeTransfer, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Gathered" : "Whole"; });

TEST(Connection, MovingTransfersOwnershipAndClosesOnce) {
    auto [left, right] = make_pair();
    const int fd = left.native_handle();
    Connection moved = std::move(left);
    EXPECT_EQ(moved.native_handle(), fd);
    EXPECT_EQ(left.native_handle(), -1);
    { Connection closing = std::move(moved); }
    // The peer now sees the end of the stream.
    std::array<std::uint8_t, 1> byte{};
    EXPECT_EQ(right.read_exact(byte).error().kind(), ErrorKind::UnexpectedEof);
}

}  // namespace
}  // namespace zorvo::net
