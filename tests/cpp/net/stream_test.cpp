#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.hpp"
#include "zorvo/net/socket_client.hpp"

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

const std::array<std::int64_t, 1> kShape{3};
const std::array<std::uint8_t, 3> kData{1, 2, 3};
const TensorArgs kTensor{kShape, "uint8", kData};

using Item = std::optional<std::vector<std::uint8_t>>;

// Opens a stream on a fresh client and fails the test if that is refused.
StreamReader open_stream(const Listener& listener) {
    SocketClient client(listener.target(), std::nullopt, 8);
    auto reader = client.infer_stream(9, kTensor, {});
    EXPECT_TRUE(reader.ok());
    return std::move(reader).value();
}

// Serves one streamed request: reads it, then writes the frames back to back.
ScriptedServer::Handler stream_of(std::vector<std::vector<std::uint8_t>> frames, ReceivedRequest* seen = nullptr) {
    return [frames = std::move(frames), seen](Connection& connection) {
        auto request = read_request(connection);
        if (seen) *seen = request;
        for (const auto& frame : frames) send(connection, frame);
    };
}

Item expect_step(StreamReader& reader) {
    auto step = reader.next();
    EXPECT_TRUE(step.ok()) << step.error().message;
    if (!step.ok() || !step.value()) return Item{};
    return step.value()->to_vector();
}

std::string expect_error(StreamReader& reader) {
    auto step = reader.next();
    EXPECT_FALSE(step.ok());
    return step.ok() ? std::string("<no error>") : step.error().message;
}

TEST(StreamReader, YieldsItemsUntilAZeroLengthFrameAndThenStaysEnded) {
    auto listener = Listener::unix_socket();
    ReceivedRequest request;
    ScriptedServer server(listener, {stream_of({response_frame(2, tensor_payload({10})),
                                                response_frame(2, tensor_payload({20, 21})),
                                                response_frame(0, {}),
                                                response_frame(2, tensor_payload({99}))},  // never read
                                               &request)});
    StreamReader reader = open_stream(listener);
    EXPECT_EQ(expect_step(reader), Item(std::vector<std::uint8_t>{10}));
    EXPECT_EQ(expect_step(reader), Item(std::vector<std::uint8_t>{20, 21}));
    EXPECT_EQ(expect_step(reader), Item());
    EXPECT_TRUE(reader.finished());
    EXPECT_EQ(expect_step(reader), Item());
    server.join();

    ASSERT_TRUE(request.complete);
    EXPECT_EQ(testing::get_u32(request.header.data()), 9u);
    EXPECT_EQ(testing::get_u32(request.header.data() + 4), 2u);  // the streaming kind
    EXPECT_EQ(testing::get_u32(request.header.data() + 8), request.payload.size());
}

TEST(StreamReader, AnItemStatusWithZeroLengthEndsTheStream) {
    auto listener = Listener::unix_socket();
    ScriptedServer server(listener, {stream_of({response_frame(2, {})})});
    StreamReader reader = open_stream(listener);
    EXPECT_EQ(expect_step(reader), Item());
    EXPECT_TRUE(reader.finished());
}

TEST(StreamReader, AnUnknownStatusEndsTheStreamAfterConsumingItsPayload) {
    auto listener = Listener::unix_socket();
    ScriptedServer server(listener, {stream_of({response_frame(3, text_bytes("bye now"))})});
    StreamReader reader = open_stream(listener);
    EXPECT_EQ(expect_step(reader), Item());
    EXPECT_TRUE(reader.finished());
}

TEST(StreamReader, ErrorFramesAndBadItemsRaiseButTheStreamGoesOn) {
    auto listener = Listener::unix_socket();
    ScriptedServer server(listener, {stream_of({response_frame(1, text_bytes("shard \xC3 lost")),
                                                response_frame(2, {0xAA}),
                                                response_frame(2, tensor_payload({7})),
                                                response_frame(0, {})})});
    StreamReader reader = open_stream(listener);
    EXPECT_EQ(expect_error(reader), "shard \xEF\xBF\xBD lost");
    EXPECT_FALSE(reader.finished());
    EXPECT_EQ(expect_error(reader), "io error: unexpected end of file");
    EXPECT_EQ(expect_step(reader), Item(std::vector<std::uint8_t>{7}));
    EXPECT_EQ(expect_step(reader), Item());
}

TEST(StreamReader, AnEngineThatHangsUpFailsTheReadWithoutEndingTheStream) {
    auto listener = Listener::unix_socket();
    ScriptedServer server(listener, {stream_of({})});
    StreamReader reader = open_stream(listener);
    server.join();
    EXPECT_EQ(expect_error(reader), "failed to fill whole buffer");
    EXPECT_FALSE(reader.finished());
    EXPECT_EQ(expect_error(reader), "failed to fill whole buffer");
}

TEST(StreamReader, OutlivesTheClientAndClosesItsConnectionWhenDropped) {
    auto listener = Listener::unix_socket();
    bool saw_end_of_stream = false;
    ScriptedServer server(listener, {[&](Connection& connection) {
                              read_request(connection);
                              send(connection, response_frame(2, tensor_payload({4})));
                              std::array<std::uint8_t, 1> byte{};
                              auto read = connection.read_exact(byte);
                              saw_end_of_stream = !read.ok() && read.error().kind() == ErrorKind::UnexpectedEof;
                          }});
    auto reader = std::make_unique<StreamReader>(open_stream(listener));  // its client is gone
    EXPECT_EQ(expect_step(*reader), Item(std::vector<std::uint8_t>{4}));
    reader.reset();
    server.join();
    EXPECT_TRUE(saw_end_of_stream);
}

TEST(SocketClientStream, NeverUsesOrChangesThePool) {
    auto listener = Listener::unix_socket();
    ScriptedServer server(listener, {[](Connection& connection) {
                                         read_request(connection);
                                         send(connection, response_frame(0, tensor_payload({1})));
                                     },
                                     stream_of({response_frame(2, tensor_payload({2})), response_frame(0, {})})});
    SocketClient client(listener.target(), std::nullopt, 8);
    ASSERT_TRUE(client.infer(1, kTensor, {}).ok());
    ASSERT_EQ(client.idle_connections(), 1u);
    auto reader = client.infer_stream(1, kTensor, {});
    ASSERT_TRUE(reader.ok());
    EXPECT_EQ(client.idle_connections(), 1u);
    EXPECT_EQ(expect_step(reader.value()), Item(std::vector<std::uint8_t>{2}));
    EXPECT_EQ(expect_step(reader.value()), Item());
    server.join();
}

TEST(SocketClientStream, OpenFailuresKeepTheirKinds) {
    SocketClient unreachable(ConnectionTarget::unix_socket("/tmp/zorvo-net-test-nowhere.sock"), std::nullopt, 8);
    auto refused = unreachable.infer_stream(1, {kShape, "nonsense", kData}, {});
    ASSERT_FALSE(refused.ok());
    const auto* io = std::get_if<ClientError>(&refused.error().error);
    ASSERT_NE(io, nullptr);
    EXPECT_EQ(io->kind(), ClientError::Kind::Io);

    const std::vector<AdditionalInput> extra{{"x", {}, "complex64", {}}};
    auto bad_input = unreachable.infer_stream(1, kTensor, extra);
    ASSERT_FALSE(bad_input.ok());
    const auto* invalid = std::get_if<ClientError>(&bad_input.error().error);
    ASSERT_NE(invalid, nullptr);
    EXPECT_EQ(invalid->kind(), ClientError::Kind::InvalidRequest);
    EXPECT_EQ(invalid->message(), "Invalid input: Unsupported dtype: complex64");

    auto listener = Listener::unix_socket();
    std::size_t bytes_seen = 99;
    ScriptedServer server(listener, {[&](Connection& connection) {
                              std::array<std::uint8_t, 1> byte{};
                              bytes_seen = connection.read_exact(byte).ok() ? 1 : 0;
                          }});
    SocketClient client(listener.target(), std::nullopt, 8);
    auto bad_dtype = client.infer_stream(1, {kShape, "nonsense", kData}, {});
    ASSERT_FALSE(bad_dtype.ok());
    const auto* rejected = std::get_if<ClientError>(&bad_dtype.error().error);
    ASSERT_NE(rejected, nullptr);
    EXPECT_EQ(rejected->kind(), ClientError::Kind::InvalidRequest);
    server.join();
    EXPECT_EQ(bytes_seen, 0u);  // the stream's connection was closed without a byte written
}

TEST(SocketClientStream, AWriteToAClosedEngineIsASystemError) {
    auto listener = Listener::unix_socket();
    ScriptedServer server(listener, {[](Connection& connection) {
                                         std::array<std::uint8_t, 12> header{};
                                         (void)connection.read_exact(header);
                                     }});
    // Far larger than the socket buffers, so the write is still going when the engine hangs up.
    const std::vector<std::uint8_t> big(16 << 20, 1);
    const std::array<std::int64_t, 1> shape{static_cast<std::int64_t>(big.size())};
    SocketClient client(listener.target(), std::nullopt, 8);
    auto result = client.infer_stream(1, {shape, "uint8", big}, {});
    ASSERT_FALSE(result.ok());
    const auto* system = std::get_if<SystemError>(&result.error().error);
    ASSERT_NE(system, nullptr);
    EXPECT_TRUE(system->kind() == ErrorKind::BrokenPipe || system->kind() == ErrorKind::ConnectionReset)
        << system->display();
}

}  // namespace
}  // namespace zorvo::net
