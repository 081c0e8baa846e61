#include "zorvo/net/connection.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <numeric>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace zorvo::net {
namespace {

struct SocketPair {
    Connection left;
    Connection right;
};

SocketPair make_pair() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    return {Connection(fds[0]), Connection(fds[1])};
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
    auto [writer, reader] = make_pair();
    { Connection closing = std::move(reader); }
    const std::vector<std::uint8_t> bytes(64, 7);
    // Without MSG_NOSIGNAL the process would die of SIGPIPE here.
    auto result = writer.write_all(bytes);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind(), ErrorKind::BrokenPipe);
    EXPECT_NE(result.error().display().find("(os error 32)"), std::string::npos);
}

TEST(Connection, LargeTransfersArriveIntactThroughPartialReadsAndWrites) {
    auto [writer, reader] = make_pair();
    const auto sent = pattern(3 << 20, 5);  // far beyond one socket buffer
    std::thread sender([&, &writer = writer] { EXPECT_TRUE(writer.write_all(sent).ok()); });
    std::vector<std::uint8_t> received(sent.size());
    ASSERT_TRUE(reader.read_exact(received).ok());
    sender.join();
    EXPECT_EQ(received, sent);
}

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
