#include "zorvo/net/pool.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace zorvo::net {
namespace {

using testing::Listener;

// Each connection is identified by the peer it talks to.
struct Pair {
    Connection ours;
    Connection peer;
};

Pair make_pair() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    return {Connection(fds[0]), Connection(fds[1])};
}

bool peer_sees_close(Connection& peer) {
    std::array<std::uint8_t, 1> byte{};
    auto result = peer.read_exact(byte);
    return !result.ok() && result.error().kind() == ErrorKind::UnexpectedEof;
}

// A target nobody listens on: any fallback to connecting fails visibly.
const ConnectionTarget kNowhere = ConnectionTarget::unix_socket("/tmp/zorvo-net-test-nowhere.sock");

TEST(ConnectionPool, HandsOutIdleConnectionsOldestFirst) {
    ConnectionPool pool(8);
    auto a = make_pair();
    auto b = make_pair();
    const int a_fd = a.ours.native_handle();
    const int b_fd = b.ours.native_handle();
    pool.return_connection(std::move(a.ours));
    pool.return_connection(std::move(b.ours));
    EXPECT_EQ(pool.idle_count(), 2u);

    auto first = pool.acquire(kNowhere);
    ASSERT_TRUE(first.ok());
    EXPECT_EQ(first.value().native_handle(), a_fd);
    auto second = pool.acquire(kNowhere);
    ASSERT_TRUE(second.ok());
    EXPECT_EQ(second.value().native_handle(), b_fd);
    EXPECT_EQ(pool.idle_count(), 0u);

    // Empty again: the pool falls back to connecting, and reports that failure.
    auto third = pool.acquire(kNowhere);
    ASSERT_FALSE(third.ok());
    EXPECT_EQ(third.error().kind(), ErrorKind::NotFound);
}

TEST(ConnectionPool, ReturnedConnectionsRotateFirstInFirstOut) {
    ConnectionPool pool(8);
    auto a = make_pair();
    auto b = make_pair();
    const int a_fd = a.ours.native_handle();
    pool.return_connection(std::move(a.ours));
    pool.return_connection(std::move(b.ours));
    auto taken = pool.acquire(kNowhere);
    ASSERT_EQ(taken.value().native_handle(), a_fd);
    pool.return_connection(std::move(taken).value());
    EXPECT_NE(pool.acquire(kNowhere).value().native_handle(), a_fd);
}

TEST(ConnectionPool, ClosesConnectionsBeyondItsBound) {
    ConnectionPool pool(1);
    auto kept = make_pair();
    auto surplus = make_pair();
    pool.return_connection(std::move(kept.ours));
    pool.return_connection(std::move(surplus.ours));
    EXPECT_EQ(pool.idle_count(), 1u);
    EXPECT_TRUE(peer_sees_close(surplus.peer));

    // The kept one is still open: writing to it reaches its peer.
    auto taken = pool.acquire(kNowhere);
    ASSERT_TRUE(taken.ok());
    const std::array<std::uint8_t, 1> byte{42};
    ASSERT_TRUE(taken.value().write_all(byte).ok());
    std::array<std::uint8_t, 1> received{};
    ASSERT_TRUE(kept.peer.read_exact(received).ok());
    EXPECT_EQ(received[0], 42);
}

TEST(ConnectionPool, SizeZeroKeepsNothing) {
    ConnectionPool pool(0);
    auto pair = make_pair();
    pool.return_connection(std::move(pair.ours));
    EXPECT_EQ(pool.idle_count(), 0u);
    EXPECT_TRUE(peer_sees_close(pair.peer));
    auto held = make_pair();
    EXPECT_FALSE(pool.hold_connection(std::move(held.ours)));
    EXPECT_EQ(pool.idle_count(), 0u);
    EXPECT_TRUE(peer_sees_close(held.peer));
}

TEST(ConnectionPool, DestroyingThePoolClosesIdleConnections) {
    auto pair = make_pair();
    {
        ConnectionPool pool(4);
        pool.return_connection(std::move(pair.ours));
    }
    EXPECT_TRUE(peer_sees_close(pair.peer));
}

TEST(ConnectionPool, AcquireOnAnEmptyPoolOpensANewConnection) {
    auto listener = Listener::unix_socket();
    ConnectionPool pool(2);
    auto connection = pool.acquire(listener.target());
    ASSERT_TRUE(connection.ok()) << connection.error().display();
    EXPECT_GE(listener.accept().native_handle(), 0);
}

TEST(ConnectionPool, AForkedChildClosesInheritedConnectionsAndLeavesTheParentsUp) {
    ConnectionPool pool(4);
    auto pair = make_pair();
    const int fd = pair.ours.native_handle();
    pool.return_connection(std::move(pair.ours));

    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // The inherited connection is never handed out: the pool connects (and fails here), and
        // the child's copy of the descriptor is closed.
        auto taken = pool.acquire(kNowhere);
        const bool connected_afresh = !taken.ok() && taken.error().kind() == ErrorKind::NotFound;
        const bool copy_closed = ::fcntl(fd, F_GETFD) == -1 && errno == EBADF;
        ::_exit(connected_afresh && copy_closed && pool.idle_count() == 0 ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    // Nothing was shut down: the parent's connection still reaches its peer.
    auto taken = pool.acquire(kNowhere);
    ASSERT_TRUE(taken.ok());
    EXPECT_EQ(taken.value().native_handle(), fd);
    const std::array<std::uint8_t, 1> byte{7};
    ASSERT_TRUE(taken.value().write_all(byte).ok());
    std::array<std::uint8_t, 1> received{};
    ASSERT_TRUE(pair.peer.read_exact(received).ok());
    EXPECT_EQ(received[0], 7);
}

}  // namespace
}  // namespace zorvo::net
