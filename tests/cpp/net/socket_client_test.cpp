#include "zorvo/net/socket_client.hpp"

#include <sys/mman.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.hpp"
#include "zorvo/net/request_frame.hpp"
#include "zorvo/wire/request.hpp"

namespace zorvo::net {
namespace {

using testing::Listener;
using testing::ReceivedRequest;
using testing::ScriptedServer;
using testing::read_request;
using testing::response_frame;
using testing::send;
using testing::tensor_payload;
using testing::text_bytes;

const std::array<std::int64_t, 1> kShape{2};
const std::array<std::uint8_t, 8> kData{0, 0, 128, 63, 0, 0, 0, 64};
const TensorArgs kFloat32Pair{kShape, "float32", kData};

// The encoded request of shape [2], float32 and the 8 data bytes above, nothing else.
std::vector<std::uint8_t> worked_example_payload() {
    std::vector<std::uint8_t> out;
    testing::put_u64(out, 1);
    testing::put_u64(out, 2);
    testing::put_u64(out, 7);
    for (char c : std::string_view("float32")) out.push_back(static_cast<std::uint8_t>(c));
    testing::put_u64(out, 8);
    out.insert(out.end(), kData.begin(), kData.end());
    return out;
}

// Answers every request on the connection with the echo of `data`, until the peer closes.
void answer_all(Connection& connection, const std::vector<std::uint8_t>& data) {
    while (read_request(connection).complete) send(connection, response_frame(0, tensor_payload(data)));
}

// Answers exactly `count` requests, then returns (closing the connection).
ScriptedServer::Handler answer(int count, std::vector<std::uint8_t> data) {
    return [count, data](Connection& connection) {
        for (int i = 0; i < count; ++i) {
            if (!read_request(connection).complete) return;
            send(connection, response_frame(0, tensor_payload(data)));
        }
    };
}

// Reads one request and hangs up without answering.
void hang_up_after_request(Connection& connection) { read_request(connection); }

TEST(SocketClientInfer, WritesTheFrameHeaderAndRequestAndReturnsTheResultData) {
    auto listener = Listener::unix_socket();
    ReceivedRequest received;
    ScriptedServer server(listener, {[&](Connection& connection) {
                              received = read_request(connection);
                              send(connection, response_frame(0, tensor_payload({0x00, 0x7F, 0xFF})));
                          }});
    SocketClient client(listener.target(), std::nullopt, 8);
    auto result = client.infer(7, kFloat32Pair, {});
    server.join();

    ASSERT_TRUE(result.ok()) << result.error().message();
    EXPECT_EQ(result.value(), (std::vector<std::uint8_t>{0x00, 0x7F, 0xFF}));
    ASSERT_TRUE(received.complete);
    EXPECT_EQ(received.header, (std::array<std::uint8_t, 12>{7, 0, 0, 0, 1, 0, 0, 0, 47, 0, 0, 0}));
    EXPECT_EQ(received.payload, worked_example_payload());
    EXPECT_EQ(client.idle_connections(), 1u);
}

TEST(SocketClientInfer, ApiTokenAndAdditionalInputsExtendThePayload) {
    auto listener = Listener::unix_socket();
    std::vector<ReceivedRequest> received(2);
    ScriptedServer server(listener, {[&](Connection& connection) {
                              for (auto& request : received) {
                                  request = read_request(connection);
                                  send(connection, response_frame(0, tensor_payload({1})));
                              }
                          }});
    SocketClient client(listener.target(), std::string(), 8);
    ASSERT_TRUE(client.infer(1, kFloat32Pair, {}).ok());
    const std::vector<AdditionalInput> extra{{"mask", {1}, "U8", {9}}};
    ASSERT_TRUE(client.infer(1, kFloat32Pair, extra).ok());
    server.join();

    // An empty token is still a present token: metadata tag, api_token tag, zero length.
    std::vector<std::uint8_t> with_token = worked_example_payload();
    with_token.insert(with_token.end(), {1, 1, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(received[0].payload, with_token);
    EXPECT_EQ(testing::get_u32(received[0].header.data() + 8), 57u);

    std::vector<std::uint8_t> with_input = worked_example_payload();
    testing::put_u64(with_input, 1);  // one additional input
    testing::put_u64(with_input, 4);
    with_input.insert(with_input.end(), {'m', 'a', 's', 'k'});
    testing::put_u64(with_input, 1);
    testing::put_u64(with_input, 1);
    testing::put_u64(with_input, 5);
    with_input.insert(with_input.end(), {'u', 'i', 'n', 't', '8'});
    testing::put_u64(with_input, 1);
    with_input.push_back(9);
    with_input.insert(with_input.end(), {1, 1, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(received[1].payload, with_input);
}

// Around the size from which the data is sent from the caller's bytes, and far beyond a socket
// buffer: first send and retry are both the contiguous encoding, as every request was before.
class FrameOnTheWire : public ::testing::TestWithParam<std::size_t> {};

TEST_P(FrameOnTheWire, IsTheContiguousEncodingOnFirstSendAndRetry) {
    std::vector<std::uint8_t> data(GetParam());
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 13 + i / 251);
    const std::array<std::int64_t, 1> shape{static_cast<std::int64_t>(data.size())};
    const std::vector<wire::NamedTensor> extra{{"mask", {3}, wire::TensorDtype::Uint8, {7, 8, 9}}};
    wire::InferenceRequest request{shape, wire::TensorDtype::Uint8, data, extra, {}, {}, {}};
    request.metadata.emplace().api_token = "token";
    const std::vector<std::uint8_t> expected = wire::encode(request);

    auto listener = Listener::unix_socket();
    std::vector<ReceivedRequest> received(2);
    ScriptedServer server(listener, {[&](Connection& connection) { received[0] = read_request(connection); },
                                     [&](Connection& connection) {
                                         received[1] = read_request(connection);
                                         send(connection, response_frame(0, tensor_payload({4})));
                                     }});
    SocketClient client(listener.target(), std::string("token"), 8);
    const std::vector<AdditionalInput> extra_args{{"mask", {3}, "u8", {7, 8, 9}}};
    ASSERT_TRUE(client.infer(9, {shape, "UINT8", data}, extra_args).ok());
    server.join();
    for (const ReceivedRequest& sent : received) {
        EXPECT_EQ(testing::get_u32(sent.header.data() + 8), expected.size());
        EXPECT_TRUE(sent.payload == expected);  // not printed: megabytes
    }
}

INSTANTIATE_TEST_SUITE_P(DataSizes, FrameOnTheWire,
                         ::testing::Values(RequestFrame::kBorrowedDataMin - 1, RequestFrame::kBorrowedDataMin,
                                           std::size_t{3} << 20));

TEST(SocketClientInfer, UnknownAdditionalInputTypeFailsBeforeAnyConnection) {
    // Nothing listens at the target, so touching the network would report a connection error.
    SocketClient client(ConnectionTarget::unix_socket("/tmp/zorvo-net-test-nowhere.sock"), std::nullopt, 8);
    const std::vector<AdditionalInput> extra{{"a", {1}, "int32", {1, 2, 3, 4}}, {"b", {1}, "Bogus", {1}}};
    auto result = client.infer(1, kFloat32Pair, extra);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind(), ClientError::Kind::InvalidRequest);
    EXPECT_EQ(result.error().message(), "Invalid input: Unsupported dtype: bogus");
}

TEST(SocketClientInfer, UnknownDtypeIsParsedOnlyAfterTheConnectionIsTaken) {
    SocketClient unreachable(ConnectionTarget::unix_socket("/tmp/zorvo-net-test-nowhere.sock"), std::nullopt, 8);
    auto refused = unreachable.infer(1, {kShape, "float-32", kData}, {});
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().kind(), ClientError::Kind::Io);

    auto listener = Listener::unix_socket();
    std::size_t bytes_seen = 99;
    ScriptedServer server(listener, {[&](Connection& connection) {
                              std::array<std::uint8_t, 1> byte{};
                              bytes_seen = connection.read_exact(byte).ok() ? 1 : 0;
                          }});
    {
        SocketClient client(listener.target(), std::nullopt, 8);
        auto rejected = client.infer(1, {kShape, "Float-32", kData}, {});
        ASSERT_FALSE(rejected.ok());
        EXPECT_EQ(rejected.error().kind(), ClientError::Kind::InvalidRequest);
        EXPECT_EQ(rejected.error().message(), "Invalid input: Unsupported dtype: float-32");
        EXPECT_EQ(client.idle_connections(), 1u);  // nothing was sent, so it is still in step
    }
    server.join();
    EXPECT_EQ(bytes_seen, 0u);
}

TEST(SocketClientInfer, EngineErrorsAndUndecodableResultsKeepTheConnection) {
    auto listener = Listener::unix_socket();
    ScriptedServer server(listener, {[&](Connection& connection) {
                              read_request(connection);
                              send(connection, response_frame(7, text_bytes("model \xFF gone")));
                              read_request(connection);
                              send(connection, response_frame(0, {}));
                              read_request(connection);
                              send(connection, response_frame(0, tensor_payload({5})));
                          }});
    SocketClient client(listener.target(), std::nullopt, 8);

    auto server_error = client.infer(1, kFloat32Pair, {});
    ASSERT_FALSE(server_error.ok());
    EXPECT_EQ(server_error.error().kind(), ClientError::Kind::Server);
    EXPECT_EQ(server_error.error().message(), "model \xEF\xBF\xBD gone");
    EXPECT_EQ(client.idle_connections(), 1u);

    auto undecodable = client.infer(1, kFloat32Pair, {});
    ASSERT_FALSE(undecodable.ok());
    EXPECT_EQ(undecodable.error().kind(), ClientError::Kind::Serialization);
    EXPECT_EQ(undecodable.error().message(), "io error: unexpected end of file");
    EXPECT_EQ(client.idle_connections(), 1u);

    // All three calls went over the one connection the server accepted.
    auto ok = client.infer(1, kFloat32Pair, {});
    ASSERT_TRUE(ok.ok()) << ok.error().message();
    EXPECT_EQ(ok.value(), std::vector<std::uint8_t>{5});
}

class StaleConnection : public ::testing::TestWithParam<bool> {
protected:
    Listener make_listener() const { return GetParam() ? Listener::tcp_loopback() : Listener::unix_socket(); }
};

TEST_P(StaleConnection, IsRetriedOnceAndReplacedByTheFreshConnection) {
    auto listener = make_listener();
    int second_connection_requests = 0;
    ScriptedServer server(listener, {answer(1, {1}),  // then closes: the pooled connection goes stale
                                     [&](Connection& connection) {
                                         while (read_request(connection).complete) {
                                             ++second_connection_requests;
                                             send(connection, response_frame(0, tensor_payload({2})));
                                         }
                                     }});
    {
        SocketClient client(listener.target(), std::nullopt, 8);
        ASSERT_EQ(client.infer(1, kFloat32Pair, {}).value(), std::vector<std::uint8_t>{1});
        // Let the server hang up the first connection before it is reused.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        auto retried = client.infer(1, kFloat32Pair, {});
        ASSERT_TRUE(retried.ok()) << retried.error().message();
        EXPECT_EQ(retried.value(), std::vector<std::uint8_t>{2});
        EXPECT_EQ(client.idle_connections(), 1u);
        auto later = client.infer(1, kFloat32Pair, {});
        ASSERT_TRUE(later.ok()) << later.error().message();
        EXPECT_EQ(client.idle_connections(), 1u);
    }
    server.join();
    EXPECT_EQ(second_connection_requests, 2);  // the retry and the later call, on one connection
}

INSTANTIATE_TEST_SUITE_P(UnixAndTcp, StaleConnection, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Tcp" : "Unix"; });

TEST(SocketClientInfer, AFailedRetryReportsItsOwnErrorAndKeepsNothing) {
    auto listener = Listener::unix_socket();
    ScriptedServer server(listener, {hang_up_after_request, hang_up_after_request});
    SocketClient client(listener.target(), std::nullopt, 8);
    auto result = client.infer(1, kFloat32Pair, {});
    server.join();
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind(), ClientError::Kind::Io);
    EXPECT_EQ(result.error().message(), "failed to fill whole buffer");
    EXPECT_EQ(client.idle_connections(), 0u);
}

TEST(SocketClientInfer, ARetryThatCannotConnectReportsTheConnectError) {
    auto listener = Listener::unix_socket();
    ScriptedServer server(listener, {[&](Connection& connection) {
                              read_request(connection);
                              listener.close();  // the engine goes away entirely
                          }});
    SocketClient client(listener.target(), std::nullopt, 8);
    auto result = client.infer(1, kFloat32Pair, {});
    server.join();
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind(), ClientError::Kind::Io);
    EXPECT_EQ(result.error().message(), "No such file or directory (os error 2)");
    EXPECT_EQ(client.idle_connections(), 0u);
}

TEST(SocketClientInfer, ARetryWithAnEngineErrorClosesTheFreshConnection) {
    auto listener = Listener::unix_socket();
    ScriptedServer server(listener, {hang_up_after_request, [](Connection& connection) {
                                         read_request(connection);
                                         send(connection, response_frame(3, text_bytes("busy")));
                                     }});
    SocketClient client(listener.target(), std::nullopt, 8);
    auto result = client.infer(1, kFloat32Pair, {});
    server.join();
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind(), ClientError::Kind::Server);
    EXPECT_EQ(result.error().message(), "busy");
    EXPECT_EQ(client.idle_connections(), 0u);
}

TEST(SocketClientInfer, PoolSizeZeroOpensAConnectionPerCall) {
    auto listener = Listener::unix_socket();
    ScriptedServer server(listener, {answer(1, {1}), answer(1, {2}), answer(1, {3})});
    SocketClient client(listener.target(), std::nullopt, 0);
    for (std::uint8_t expected = 1; expected <= 3; ++expected) {
        auto result = client.infer(1, kFloat32Pair, {});
        ASSERT_TRUE(result.ok()) << result.error().message();
        EXPECT_EQ(result.value(), std::vector<std::uint8_t>{expected});
        EXPECT_EQ(client.idle_connections(), 0u);
    }
}

TEST(SocketClientInfer, LargeResultsArriveWholeIntoRecycledBuffers) {
    auto listener = Listener::unix_socket();
    std::vector<std::uint8_t> big(5 << 20);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7 + i / 4096);
    ScriptedServer server(listener, {[&](Connection& connection) { answer_all(connection, big); }});
    std::optional<SocketClient> client(std::in_place, listener.target(), std::nullopt, 8);
    auto result = client->infer(1, kFloat32Pair, {});
    ASSERT_TRUE(result.ok()) << result.error().message();
    EXPECT_TRUE(result.value() == big);

    // A dropped result's buffer receives the next large result; a result outlives its client.
    const std::uint8_t* first_memory = result.value().bytes().data();
    { auto dropped = std::move(result); }
    auto again = client->infer(1, kFloat32Pair, {});
    client.reset();
    ASSERT_TRUE(again.ok()) << again.error().message();
    EXPECT_EQ(again.value().bytes().data(), first_memory);
    EXPECT_TRUE(again.value() == big);
}

TEST(SocketClientInfer, AnOverstatedReplyLengthFailsAsATransportError) {
    auto listener = Listener::unix_socket();
    auto lie = [](Connection& connection) {
        read_request(connection);
        std::vector<std::uint8_t> frame;
        testing::put_u32(frame, 0);
        testing::put_u32(frame, 0xFFFF'FFF0u);  // announces 4 GiB, sends 3 bytes
        frame.insert(frame.end(), {1, 2, 3});
        send(connection, frame);
    };
    ScriptedServer server(listener, {lie, lie});
    SocketClient client(listener.target(), std::nullopt, 8);
    auto result = client.infer(1, kFloat32Pair, {});
    server.join();
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind(), ClientError::Kind::Io);
    EXPECT_EQ(result.error().message(), "failed to fill whole buffer");
}

TEST(SocketClientInfer, RequestsBeyondTheFrameLimitAreRefusedBeforeWriting) {
    // Reserve 4 GiB of address space without backing it: the encoder only measures it.
    const std::size_t size = std::size_t{1} << 32;
    void* region = ::mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(region, MAP_FAILED);
    const std::span<const std::uint8_t> huge(static_cast<const std::uint8_t*>(region), size);

    auto listener = Listener::unix_socket();
    std::size_t bytes_seen = 99;
    ScriptedServer server(listener, {[&](Connection& connection) {
                              std::array<std::uint8_t, 1> byte{};
                              bytes_seen = connection.read_exact(byte).ok() ? 1 : 0;
                          }});
    {
        SocketClient client(listener.target(), std::nullopt, 8);
        auto result = client.infer(1, {kShape, "uint8", huge}, {});
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error().kind(), ClientError::Kind::Serialization);
        EXPECT_EQ(result.error().message(), "request too large: 4294967333 bytes exceeds the 4 GiB frame limit");
        EXPECT_EQ(client.idle_connections(), 1u);
    }
    server.join();
    EXPECT_EQ(bytes_seen, 0u);
    ::munmap(region, size);
}

}  // namespace
}  // namespace zorvo::net
