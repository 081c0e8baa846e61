#include "zorvo/net/connect.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <netinet/tcp.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.hpp"
#include "zorvo/net/socket_address.hpp"

namespace zorvo::net {
namespace {

using testing::Listener;

std::string connect_error(const ConnectionTarget& target) {
    auto result = connect_stream(target);
    EXPECT_FALSE(result.ok());
    return result.ok() ? std::string("<connected>") : result.error().display();
}

TEST(SocketAddressParsing, NumericAddressesAreTakenAsTheyAre) {
    auto v4 = parse_numeric_socket_address("127.0.0.1:9096");
    ASSERT_TRUE(v4.has_value());
    ASSERT_EQ(v4->family(), AF_INET);
    const auto* in4 = reinterpret_cast<const sockaddr_in*>(&v4->storage);
    EXPECT_EQ(ntohs(in4->sin_port), 9096);
    EXPECT_EQ(ntohl(in4->sin_addr.s_addr), 0x7F000001u);

    auto v6 = parse_numeric_socket_address("[::1]:65535");
    ASSERT_TRUE(v6.has_value());
    ASSERT_EQ(v6->family(), AF_INET6);
    EXPECT_EQ(ntohs(reinterpret_cast<const sockaddr_in6*>(&v6->storage)->sin6_port), 65535);

    auto scoped = parse_numeric_socket_address("[fe80::1%3]:80");
    ASSERT_TRUE(scoped.has_value());
    EXPECT_EQ(reinterpret_cast<const sockaddr_in6*>(&scoped->storage)->sin6_scope_id, 3u);
}

TEST(SocketAddressParsing, NonNumericTextsAreLeftToTheResolver) {
    for (const char* text : {"localhost:80", "127.0.0.1", "127.0.0.1:65536", "127.0.0.1:-1",
                             "::1:80", "[::1]", "[::1]:x", "1.2.3:80", "01.2.3.4:80", ""}) {
        EXPECT_FALSE(parse_numeric_socket_address(text).has_value()) << text;
    }
}

TEST(SocketAddressParsing, HostAndPortSplitAtTheLastColon) {
    auto split = split_host_and_port("a:b:8080");
    ASSERT_TRUE(split.ok());
    EXPECT_EQ(split.value().host, "a:b");
    EXPECT_EQ(split.value().port, 8080);

    auto no_colon = split_host_and_port("localhost");
    ASSERT_FALSE(no_colon.ok());
    EXPECT_EQ(no_colon.error().kind(), ErrorKind::InvalidInput);
    EXPECT_EQ(no_colon.error().display(), "invalid socket address");

    for (const char* text : {"localhost:http", "localhost:65536", "localhost:", "localhost:+1 ",
                             "localhost:99999999999999999999"}) {
        auto bad = split_host_and_port(text);
        ASSERT_FALSE(bad.ok()) << text;
        EXPECT_EQ(bad.error().display(), "invalid port value") << text;
    }
    EXPECT_EQ(split_host_and_port("h:0").value().port, 0);
}

TEST(SocketAddressParsing, UnixPathsAreCheckedAgainstTheAddressField) {
    EXPECT_TRUE(unix_socket_address(std::string(107, 'p')).ok());
    auto too_long = unix_socket_address(std::string(108, 'p'));
    ASSERT_FALSE(too_long.ok());
    EXPECT_EQ(too_long.error().display(), "path must be shorter than SUN_LEN");
    auto with_nul = unix_socket_address(std::string("/tmp/a\0b", 8));
    ASSERT_FALSE(with_nul.ok());
    EXPECT_EQ(with_nul.error().display(), "paths must not contain interior null bytes");
}

TEST(ConnectStream, TcpAddressTextErrorsSurfaceOnConnect) {
    EXPECT_EQ(connect_error(ConnectionTarget::tcp("localhost")), "invalid socket address");
    EXPECT_EQ(connect_error(ConnectionTarget::tcp("localhost:port")), "invalid port value");
    EXPECT_EQ(connect_error(ConnectionTarget::tcp("127.0.0.1:70000")), "invalid port value");
    EXPECT_EQ(connect_error(ConnectionTarget::tcp(std::string("bad\0host:80", 11))),
              "file name contained an unexpected NUL byte");
    const std::string lookup = connect_error(ConnectionTarget::tcp(":80"));
    EXPECT_EQ(lookup.rfind("failed to lookup address information: ", 0), 0u) << lookup;
    EXPECT_GT(lookup.size(), std::string("failed to lookup address information: ").size());
}

TEST(ConnectStream, RefusedTcpPortCarriesTheSystemError) {
    std::uint16_t port;
    {
        auto listener = Listener::tcp_loopback();
        port = listener.port();
    }  // closed: nothing listens there any more
    auto result = connect_stream(ConnectionTarget::tcp("127.0.0.1:" + std::to_string(port)));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind(), ErrorKind::ConnectionRefused);
    EXPECT_EQ(result.error().display(), "Connection refused (os error 111)");
}

TEST(ConnectStream, MissingAndOverlongUnixPathsFail) {
    auto missing = connect_stream(ConnectionTarget::unix_socket("/tmp/zorvo-net-test-missing.sock"));
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().kind(), ErrorKind::NotFound);
    EXPECT_EQ(missing.error().display(), "No such file or directory (os error 2)");
    EXPECT_EQ(connect_error(ConnectionTarget::unix_socket("/tmp/" + std::string(103, 'x'))),
              "path must be shorter than SUN_LEN");
}

TEST(ConnectStream, TcpConnectionsByNameAndNumberCarryNoDelay) {
    auto listener = Listener::tcp_loopback();
    for (const std::string host : {"127.0.0.1", "localhost"}) {
        auto connected = connect_stream(ConnectionTarget::tcp(host + ":" + std::to_string(listener.port())));
        ASSERT_TRUE(connected.ok()) << host << ": " << connected.error().display();
        int value = 0;
        socklen_t length = sizeof value;
        ASSERT_EQ(::getsockopt(connected.value().native_handle(), IPPROTO_TCP, TCP_NODELAY, &value, &length), 0);
        EXPECT_NE(value, 0) << host;
        const int flags = ::fcntl(connected.value().native_handle(), F_GETFD);
        EXPECT_TRUE(flags & FD_CLOEXEC) << host;
        Connection accepted = listener.accept();
        EXPECT_GE(accepted.native_handle(), 0);
    }
}

TEST(ConnectStream, UnixConnectionReachesTheListener) {
    auto listener = Listener::unix_socket();
    auto connected = connect_stream(listener.target());
    ASSERT_TRUE(connected.ok()) << connected.error().display();
    Connection accepted = listener.accept();
    const std::vector<std::uint8_t> hello{'h', 'i'};
    ASSERT_TRUE(connected.value().write_all(hello).ok());
    std::vector<std::uint8_t> received(2);
    ASSERT_TRUE(accepted.read_exact(received).ok());
    EXPECT_EQ(received, hello);
}

// A peer that never answers: each receive slice asks the check, which ends the wait on its third
// call; the connection stays quiet in between (no error before that).
int wait_checks = 0;
bool give_up_on_third_check() { return ++wait_checks < 3; }

TEST(ConnectStream, WaitCheckIsAskedEachSliceAndEndsTheWait) {
    for (const bool tcp : {false, true}) {
        auto listener = tcp ? Listener::tcp_loopback() : Listener::unix_socket();
        ConnectionTarget target = listener.target();
        target.wait = {std::chrono::milliseconds(5), &give_up_on_third_check};
        auto connected = connect_stream(target);
        ASSERT_TRUE(connected.ok()) << connected.error().display();
        wait_checks = 0;
        std::vector<std::uint8_t> received(4);
        auto read = connected.value().read_exact(received);
        ASSERT_FALSE(read.ok());
        EXPECT_EQ(read.error().kind(), ErrorKind::Interrupted);
        EXPECT_EQ(read.error().display(), kWaitAbandoned);
        EXPECT_EQ(wait_checks, 3);
    }
}

}  // namespace
}  // namespace zorvo::net
