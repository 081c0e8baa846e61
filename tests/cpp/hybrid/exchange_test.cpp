#include "zorvo/hybrid/exchange.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "zorvo/shm/queue_entries.hpp"
#include "zorvo/wire/transport_metadata.hpp"

namespace zorvo::hybrid {
namespace {

using Bytes = std::vector<std::uint8_t>;

void put_u32(Bytes& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}
void put_u64(Bytes& out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

Bytes response_record(std::uint64_t request_id, std::uint8_t is_error, std::uint64_t result_offset) {
    Bytes record;
    put_u64(record, request_id);
    record.push_back(is_error);
    record.insert(record.end(), 7, 0xEE);
    put_u64(record, 111);
    put_u64(record, result_offset);
    put_u64(record, 222);
    return record;
}

bool write_all(int fd, const Bytes& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

// What the engine does after it has read one request frame: answer and keep the connection, or not.
struct Step {
    enum class After { Keep, Close };
    std::optional<Bytes> answer;  // none: close without answering
    After after = After::Keep;

    static Step reply(std::uint32_t status, const Bytes& payload, After after = After::Keep) {
        Bytes frame;
        put_u32(frame, status);
        put_u32(frame, static_cast<std::uint32_t>(payload.size()));
        frame.insert(frame.end(), payload.begin(), payload.end());
        return Step{frame, after};
    }
    static Step raw(Bytes frame, After after) { return Step{std::move(frame), after}; }
    static Step hang_up() { return Step{std::nullopt, After::Close}; }
};

// A scripted engine on a Unix socket, in a thread of its own: it serves the steps in order, accepting
// a new connection whenever it has none, and records every request frame and accepted connection.
class ScriptedEngine {
public:
    ScriptedEngine(std::string path, std::vector<Step> steps) : path_(std::move(path)) {
        listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        auto address = UnixAddress::from_path(path_);
        EXPECT_TRUE(address.ok());
        if (path_.front() != '\0') std::filesystem::remove(path_);
        EXPECT_EQ(bind(listener_, reinterpret_cast<const sockaddr*>(&address->address), address->length), 0);
        EXPECT_EQ(listen(listener_, 4), 0);
        thread_ = std::thread([this, steps = std::move(steps)] { serve(steps); });
    }
    ~ScriptedEngine() {
        thread_.join();
        close(listener_);
        if (path_.front() != '\0') std::filesystem::remove(path_);
    }

    std::vector<Bytes> frames() {
        std::lock_guard lock(mutex_);
        return frames_;
    }
    int connections() const { return connections_.load(); }

private:
    static bool readable_within(int fd, int milliseconds) {
        pollfd watched{fd, POLLIN, 0};
        return poll(&watched, 1, milliseconds) > 0;
    }

    // Reads one 52-byte frame; false when the client went away first.
    static bool read_frame(int fd, Bytes& frame) {
        frame.assign(REQUEST_FRAME_SIZE, 0);
        std::size_t got = 0;
        while (got < frame.size()) {
            if (!readable_within(fd, 5000)) return false;
            const ssize_t n = recv(fd, frame.data() + got, frame.size() - got, 0);
            if (n <= 0) return false;
            got += static_cast<std::size_t>(n);
        }
        return true;
    }

    void serve(const std::vector<Step>& steps) {
        int connection = -1;
        for (const Step& step : steps) {
            Bytes frame;
            for (;;) {
                if (connection < 0) {
                    if (!readable_within(listener_, 5000)) return;
                    connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                    ++connections_;
                }
                if (read_frame(connection, frame)) break;
                close(connection);
                connection = -1;
            }
            {
                std::lock_guard lock(mutex_);
                frames_.push_back(frame);
            }
            if (step.answer) write_all(connection, *step.answer);
            if (step.after == Step::After::Close) {
                close(connection);
                connection = -1;
            }
        }
        if (connection >= 0) {
            // Let the client read the last answer before the connection goes.
            readable_within(connection, 200);
            close(connection);
        }
    }

    std::string path_;
    int listener_ = -1;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<Bytes> frames_;
    std::atomic<int> connections_{0};
};

std::string temp_socket_path(const std::string& tag) {
    return (std::filesystem::temp_directory_path() /
            ("zorvo_x_" + tag + "_" + std::to_string(getpid()) + ".sock"))
        .string();
}

HybridRequest request_for(std::uint64_t id, std::uint64_t offset = 4096, std::uint64_t data_len = 16) {
    return HybridRequest{wire::TransportRequestMetadata::create(id, 0, 0, 0), offset, data_len + 80};
}

class ExchangeTest : public ::testing::Test {
protected:
    Result<HybridResponse, std::string> run(const std::string& path, std::uint64_t id = 1) {
        return runtime_->block_on(exchange(*runtime_, path, control_, request_for(id)));
    }

    std::unique_ptr<Runtime> runtime_ = std::move(Runtime::create()).value();
    std::shared_ptr<ControlConnection> control_ = std::make_shared<ControlConnection>();
};

TEST_F(ExchangeTest, RequestFrameIsByteExactAndMatchesAQueueEntry) {
    const std::string path = temp_socket_path("frame");
    ScriptedEngine engine(path, {Step::reply(0, response_record(1, 0, 8192))});
    const std::uint64_t before = wire::wall_clock_ns();
    auto response = run(path, 1);
    const std::uint64_t after = wire::wall_clock_ns();
    ASSERT_TRUE(response.ok()) << response.error();

    const Bytes frame = engine.frames().at(0);
    const Bytes head = {0, 0, 0, 0, 4, 0, 0, 0, 0x28, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(frame.size(), 52u);
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 28), head);
    std::uint64_t timestamp = 0;
    std::memcpy(&timestamp, frame.data() + 28, 8);
    EXPECT_GE(timestamp, before);
    EXPECT_LE(timestamp, after);
    EXPECT_EQ(Bytes(frame.begin() + 36, frame.end()),
              (Bytes{0x00, 0x10, 0, 0, 0, 0, 0, 0, 0x60, 0, 0, 0, 0, 0, 0, 0}));

    // The payload is exactly a shared-memory request entry with the same values.
    std::array<std::uint8_t, shm::ShmRequestEntry::SIZE> entry{};
    shm::ShmRequestEntry{.request_id = 1, .timestamp_ns = timestamp, .tensor_offset = 4096, .tensor_size = 96}
        .encode_into(entry);
    EXPECT_EQ(Bytes(frame.begin() + 12, frame.end()), Bytes(entry.begin(), entry.end()));

    EXPECT_EQ(response->request_id, 1u);
    EXPECT_EQ(response->result_offset, 8192u);
    EXPECT_EQ(response->aux_1, 111u);
    EXPECT_EQ(response->aux_2, 222u);
}

TEST_F(ExchangeTest, PayloadLengthsAndStatusesOnOneConnection) {
    const std::string path = temp_socket_path("statuses");
    Bytes forty_one = response_record(2, 0, 640);
    forty_one.push_back(0x99);
    Bytes thirty_nine = response_record(3, 0, 1);
    thirty_nine.pop_back();
    const std::string plain = "model exploded";
    ScriptedEngine engine(path, {
                                    Step::reply(0, forty_one),
                                    Step::reply(0, thirty_nine),
                                    Step::reply(0, {}),
                                    Step::reply(5, Bytes(plain.begin(), plain.end())),
                                    Step::reply(5, {'b', 'a', 0xFF, 'd'}),
                                    Step::reply(0, response_record(6, 1, 4096)),
                                });
    auto decoded = run(path, 2);
    ASSERT_TRUE(decoded.ok()) << decoded.error();
    EXPECT_EQ(decoded->result_offset, 640u);
    EXPECT_EQ(decoded->request_id, 2u);

    auto short_payload = run(path, 3);
    ASSERT_FALSE(short_payload.ok());
    EXPECT_EQ(short_payload.error(), "io error: unexpected end of file");
    auto empty_payload = run(path, 4);
    ASSERT_FALSE(empty_payload.ok());
    EXPECT_EQ(empty_payload.error(), "io error: unexpected end of file");

    auto engine_text = run(path, 5);
    ASSERT_FALSE(engine_text.ok());
    EXPECT_EQ(engine_text.error(), plain);
    auto lossy = run(path, 6);
    ASSERT_FALSE(lossy.ok());
    EXPECT_EQ(lossy.error(), "ba\xEF\xBF\xBD" "d");

    // is_error is not the client's business: status 0 means success.
    auto flagged = run(path, 7);
    ASSERT_TRUE(flagged.ok()) << flagged.error();
    EXPECT_EQ(flagged->is_error, 1);
    EXPECT_EQ(flagged->result_offset, 4096u);

    EXPECT_EQ(engine.frames().size(), 6u);
    EXPECT_EQ(engine.connections(), 1);
}

TEST_F(ExchangeTest, LargePayloadsArriveWhole) {
    const std::string path = temp_socket_path("large");
    std::string text(300'000, 'x');
    text[0] = 'A';
    text.back() = 'Z';
    Bytes large_record = response_record(1, 0, 77);
    large_record.resize(200'000, 0x42);
    ScriptedEngine engine(path, {Step::reply(7, Bytes(text.begin(), text.end())), Step::reply(0, large_record)});
    auto failed = run(path);
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error(), text);
    auto decoded = run(path);
    ASSERT_TRUE(decoded.ok()) << decoded.error();
    EXPECT_EQ(decoded->result_offset, 77u);
}

TEST_F(ExchangeTest, IoFailureDropsTheConnectionAndTheNextCallReconnects) {
    const std::string path = temp_socket_path("eof");
    Bytes lying_header;
    put_u32(lying_header, 5);
    put_u32(lying_header, 0xFFFFFFFF);
    lying_header.insert(lying_header.end(), {'p', 'a', 'r', 't'});
    ScriptedEngine engine(path, {
                                    Step::hang_up(),
                                    Step::reply(0, response_record(2, 0, 10)),
                                    Step::raw(lying_header, Step::After::Close),
                                    Step::reply(0, response_record(4, 0, 20)),
                                });
    auto hung_up = run(path, 1);
    ASSERT_FALSE(hung_up.ok());
    EXPECT_EQ(hung_up.error(), "early eof");
    EXPECT_FALSE(control_->fifo().locked());

    auto fresh = run(path, 2);
    ASSERT_TRUE(fresh.ok()) << fresh.error();
    EXPECT_EQ(fresh->result_offset, 10u);

    // A header announcing 4 GiB followed by a hang-up fails cleanly instead of allocating it.
    auto lied = run(path, 3);
    ASSERT_FALSE(lied.ok());
    EXPECT_EQ(lied.error(), "early eof");

    auto again = run(path, 4);
    ASSERT_TRUE(again.ok()) << again.error();
    EXPECT_EQ(again->result_offset, 20u);
    EXPECT_EQ(engine.connections(), 3);
}

TEST_F(ExchangeTest, EngineClosingAfterAnAnswerFailsOnlyTheNextCall) {
    const std::string path = temp_socket_path("closing");
    ScriptedEngine engine(path, {
                                    Step::reply(0, response_record(1, 0, 1), Step::After::Close),
                                    Step::reply(0, response_record(3, 0, 3)),
                                });
    ASSERT_TRUE(run(path, 1).ok());
    // Give the close time to arrive, so the write or the read of the next call sees it.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    auto broken = run(path, 2);
    ASSERT_FALSE(broken.ok());
    EXPECT_TRUE(broken.error() == "early eof" || broken.error() == "Broken pipe (os error 32)" ||
                broken.error() == "Connection reset by peer (os error 104)")
        << broken.error();
    auto recovered = run(path, 3);
    ASSERT_TRUE(recovered.ok()) << recovered.error();
    EXPECT_EQ(recovered->result_offset, 3u);
    EXPECT_EQ(engine.connections(), 2);
}

TEST_F(ExchangeTest, BytesSeenPastAnAnswerPutTheConnectionOutOfStepAndItIsReplaced) {
    const std::string path = temp_socket_path("overrun");
    Bytes answer_and_more;
    put_u32(answer_and_more, 5);
    put_u32(answer_and_more, 2);
    answer_and_more.insert(answer_and_more.end(), {std::uint8_t{'n'}, std::uint8_t{'o'}});
    answer_and_more.insert(answer_and_more.end(), {0, 0, 0, 0});  // an unasked start of a frame
    ScriptedEngine engine(path, {
                                    Step::raw(answer_and_more, Step::After::Keep),
                                    Step::reply(0, response_record(2, 0, 2)),
                                });
    auto first = run(path, 1);
    ASSERT_FALSE(first.ok());
    EXPECT_EQ(first.error(), "no");
    // Reading on would hand the second call the stray bytes; it reconnects instead.
    auto second = run(path, 2);
    ASSERT_TRUE(second.ok()) << second.error();
    EXPECT_EQ(second->result_offset, 2u);
    EXPECT_EQ(engine.connections(), 2);
}

TEST_F(ExchangeTest, ConnectFailuresStoreNothingAndLaterCallsConnect) {
    const std::string path = temp_socket_path("late");
    std::filesystem::remove(path);
    auto missing = run(path);
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error(), "No such file or directory (os error 2)");

    // A socket file with nobody listening any more refuses.
    {
        const int orphan = socket(AF_UNIX, SOCK_STREAM, 0);
        auto address = UnixAddress::from_path(path);
        ASSERT_EQ(bind(orphan, reinterpret_cast<const sockaddr*>(&address->address), address->length), 0);
        close(orphan);
    }
    auto refused = run(path);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error(), "Connection refused (os error 111)");

    ScriptedEngine engine(path, {Step::reply(0, response_record(1, 0, 5))});
    auto connected = run(path);
    ASSERT_TRUE(connected.ok()) << connected.error();
    EXPECT_EQ(connected->result_offset, 5u);
}

TEST_F(ExchangeTest, AbstractNamesConnectWithoutAFile) {
    const std::string path = std::string(1, '\0') + "zorvo_abstract_" + std::to_string(getpid());
    ScriptedEngine engine(path, {Step::reply(0, response_record(1, 0, 9)), Step::reply(0, response_record(2, 0, 10))});
    EXPECT_EQ(run(path)->result_offset, 9u);
    EXPECT_EQ(run(path)->result_offset, 10u);
    EXPECT_EQ(engine.connections(), 1);
    EXPECT_FALSE(std::filesystem::exists(path.substr(1)));
}

TEST_F(ExchangeTest, UnusablePathsAreRefusedWithTheirOwnTexts) {
    EXPECT_EQ(run(std::string(108, 'p')).error(), "path must be shorter than SUN_LEN");
    EXPECT_EQ(run(std::string("/tmp/a\0b", 8)).error(), "paths must not contain interior null bytes");
    EXPECT_EQ(run(std::string(1, '\0') + std::string(108, 'n')).error(),
              "abstract socket name must be shorter than SUN_LEN");
    // The longest accepted forms get as far as the connect.
    EXPECT_EQ(run("/" + std::string(106, 'p')).error(), "No such file or directory (os error 2)");
    EXPECT_EQ(run(std::string(1, '\0') + std::string(107, 'n')).error(), "Connection refused (os error 111)");
    EXPECT_FALSE(control_->fifo().locked());
}

TEST_F(ExchangeTest, SlowEnginesAreWaitedForByTheRuntime) {
    const std::string path = temp_socket_path("slow");
    // Answers after the caller's own brief wait is long over.
    Bytes answer;
    put_u32(answer, 0);
    put_u32(answer, 40);
    const Bytes record = response_record(1, 0, 4242);
    answer.insert(answer.end(), record.begin(), record.end());
    std::thread delayed_engine;
    {
        const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
        std::filesystem::remove(path);
        auto address = UnixAddress::from_path(path);
        ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&address->address), address->length), 0);
        ASSERT_EQ(listen(listener, 1), 0);
        delayed_engine = std::thread([listener, answer] {
            const int connection = accept(listener, nullptr, nullptr);
            std::array<std::uint8_t, 52> frame{};
            std::size_t got = 0;
            while (got < frame.size()) {
                const ssize_t n = recv(connection, frame.data() + got, frame.size() - got, 0);
                if (n <= 0) break;
                got += static_cast<std::size_t>(n);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            write_all(connection, Bytes(answer.begin(), answer.begin() + 5));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            write_all(connection, Bytes(answer.begin() + 5, answer.end()));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            close(connection);
            close(listener);
        });
    }
    auto response = run(path);
    delayed_engine.join();
    std::filesystem::remove(path);
    ASSERT_TRUE(response.ok()) << response.error();
    EXPECT_EQ(response->result_offset, 4242u);
}

}  // namespace
}  // namespace zorvo::hybrid
