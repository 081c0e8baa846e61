#include "zorvo/hybrid/client_core.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "../shm/test_region.hpp"
#include "zorvo/common/little_endian.hpp"
#include "zorvo/shm/tensor_block.hpp"

namespace zorvo::hybrid {
namespace {

using shm::testing::StandardLayout;
using shm::testing::TestRegion;

constexpr std::uint64_t POOL_SIZE = 32ull << 20;
// A request whose tensor starts with this byte has its connection closed instead of answered.
constexpr std::uint8_t HANG_UP_MARK = 0xEE;

// A scripted engine in a forked process. It holds every answer until `batch` requests wait at
// once (or a second has passed), then answers them all, naming each request's own block as its
// result. On a pipe it reports a 0 for each connection it accepts and, before answering, how many
// requests each release found waiting: all written before the answers that the calls wait for.
class GatheringPeer {
public:
    GatheringPeer(const TestRegion& region, std::string path, std::size_t batch) : path_(std::move(path)) {
        std::filesystem::remove(path_);
        const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        auto address = UnixAddress::from_path(path_);
        EXPECT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address->address), address->length), 0);
        EXPECT_EQ(::listen(listener, 64), 0);
        int reports[2];
        EXPECT_EQ(::pipe2(reports, O_NONBLOCK), 0);
        pid_ = ::fork();
        if (pid_ == 0) {
            serve(region, listener, reports[1], batch);
            ::_exit(0);
        }
        ::close(listener);
        ::close(reports[1]);
        reports_ = reports[0];
    }
    ~GatheringPeer() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        ::close(reports_);
        std::filesystem::remove(path_);
    }

    // The count of waiting requests at each release so far, and the connections accepted.
    std::pair<std::vector<int>, int> report() const {
        std::vector<int> released;
        int accepted = 0;
        std::int32_t value = 0;
        while (::read(reports_, &value, sizeof value) == sizeof value) {
            if (value == 0) ++accepted;
            else released.push_back(value);
        }
        return {released, accepted};
    }

private:
    struct Pending {
        int fd;
        std::uint64_t request_id;
        std::uint64_t tensor_offset;
    };

    static void serve(const TestRegion& region, int listener, int reports, std::size_t batch) {
        std::vector<pollfd> watched{{listener, POLLIN, 0}};
        std::vector<Pending> pending;
        auto first_pending = std::chrono::steady_clock::now();
        auto report = [reports](std::int32_t value) { static_cast<void>(::write(reports, &value, sizeof value)); };
        for (;;) {
            ::poll(watched.data(), watched.size(), 5);
            for (std::size_t i = 1; i < watched.size(); ++i) {
                if (watched[i].revents == 0) continue;
                // The client writes each 52-byte frame at once; none is split on a local socket.
                std::array<std::uint8_t, REQUEST_FRAME_SIZE> frame{};
                if (::recv(watched[i].fd, frame.data(), frame.size(), MSG_WAITALL) != REQUEST_FRAME_SIZE) {
                    ::close(watched[i].fd);
                    watched[i].fd = -1;  // poll skips it from now on
                    continue;
                }
                if (pending.empty()) first_pending = std::chrono::steady_clock::now();
                const std::uint8_t* record = frame.data() + REQUEST_FRAME_HEADER_SIZE;
                pending.push_back({watched[i].fd, load_le<std::uint64_t>(record), load_le<std::uint64_t>(record + 24)});
            }
            if (watched[0].revents & POLLIN) {
                watched.push_back({::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC), POLLIN, 0});
                report(0);
            }
            const bool waited_long = std::chrono::steady_clock::now() - first_pending > std::chrono::seconds(1);
            if (pending.empty() || (pending.size() < batch && !waited_long)) continue;
            report(static_cast<std::int32_t>(pending.size()));
            for (const Pending& p : pending) {
                if (region.base()[p.tensor_offset + shm::TENSOR_BLOCK_HEADER] == HANG_UP_MARK) {
                    ::shutdown(p.fd, SHUT_RDWR);  // the answer never comes; closed at the next poll
                    continue;
                }
                std::array<std::uint8_t, RESPONSE_FRAME_HEADER_SIZE + HYBRID_RESPONSE_SIZE> answer{};
                store_le<std::uint32_t>(answer.data() + 4, HYBRID_RESPONSE_SIZE);
                store_le<std::uint64_t>(answer.data() + 8, p.request_id);
                store_le<std::uint64_t>(answer.data() + 8 + 24, p.tensor_offset);
                ::send(p.fd, answer.data(), answer.size(), MSG_NOSIGNAL);
            }
            pending.clear();
        }
    }

    std::string path_;
    pid_t pid_ = -1;
    int reports_ = -1;
};

struct CopyingHost : shm::InferHost {
    std::vector<std::uint8_t> result;
    bool take_result(std::span<const std::uint8_t> data) override {
        result.assign(data.begin(), data.end());
        return true;
    }
};

class HybridClientCoreTest : public ::testing::Test {
protected:
    HybridClientCoreTest() : region_(StandardLayout::region_size(POOL_SIZE)) {
        region_.write_header(StandardLayout::header(POOL_SIZE));
    }

    std::unique_ptr<HybridClientCore> connect() {
        auto core = HybridClientCore::connect(region_.name(), path_);
        EXPECT_TRUE(core.ok());
        core.value()->allow_concurrent_calls();
        return std::move(core).value();
    }

    // Each of `threads` threads makes one call per round with data unique to it and the round; a
    // thread whose call is marked asks the peer to hang up on it. Returns each call's outcome:
    // its own data echoed ("ok"), another's, or the error text.
    std::vector<std::string> rounds(HybridClientCore& core, std::size_t threads, int round_count, std::size_t marked = ~0ull) {
        std::vector<std::string> outcomes(threads * round_count);
        std::vector<std::thread> callers;
        for (std::size_t t = 0; t < threads; ++t) {
            callers.emplace_back([&, t] {
                for (int round = 0; round < round_count; ++round) {
                    std::vector<std::uint8_t> data(64, static_cast<std::uint8_t>(t));
                    data[1] = static_cast<std::uint8_t>(round);
                    if (t == marked && round == 0) data[0] = HANG_UP_MARK;
                    const std::int64_t shape[] = {64};
                    CopyingHost host;
                    auto done = core.infer(shape, "uint8", data, host);
                    outcomes[t * round_count + round] = !done.ok() ? done.error().message
                                                        : host.result == data ? "ok" : "another call's answer";
                }
            });
        }
        for (std::thread& caller : callers) caller.join();
        return outcomes;
    }

    TestRegion region_;
    std::string path_ = (std::filesystem::temp_directory_path() / ("zorvo_core_" + std::to_string(::getpid()) + ".sock")).string();
};

TEST_F(HybridClientCoreTest, CallsFromManyThreadsOverlapEachOnItsOwnConnection) {
    constexpr std::size_t threads = 8;
    GatheringPeer peer(region_, path_, threads);
    auto core = connect();
    EXPECT_EQ(rounds(*core, threads, 5), std::vector<std::string>(threads * 5, "ok"));
    // Every release found all eight calls waiting at once, on eight connections kept for reuse.
    const auto [released, accepted] = peer.report();
    EXPECT_EQ(released, std::vector<int>(5, static_cast<int>(threads)));
    EXPECT_EQ(accepted, static_cast<int>(threads));
    EXPECT_EQ(core->idle_connections(), threads);
}

TEST_F(HybridClientCoreTest, AConnectionThatBrokeMidExchangeIsReplacedAndOtherCallsKeepTheirAnswers) {
    constexpr std::size_t threads = 4;
    GatheringPeer peer(region_, path_, threads);
    auto core = connect();
    std::vector<std::string> expected(threads * 2, "ok");
    expected[2 * 2] = "early eof";  // thread 2, round 0
    EXPECT_EQ(rounds(*core, threads, 2, 2), expected);
    auto [released, accepted] = peer.report();
    EXPECT_EQ(released, std::vector<int>(2, static_cast<int>(threads)));
    // The broken connection is never used again, nor are the idle ones it cleared away.
    EXPECT_GE(accepted, static_cast<int>(threads) + 1);
    EXPECT_LE(accepted, static_cast<int>(2 * threads));
    EXPECT_EQ(core->idle_connections(), threads);
}

TEST_F(HybridClientCoreTest, ALoneCallerKeepsOneConnection) {
    GatheringPeer peer(region_, path_, 1);
    auto core = connect();
    EXPECT_EQ(rounds(*core, 1, 20), std::vector<std::string>(20, "ok"));
    EXPECT_EQ(peer.report().second, 1);
    EXPECT_EQ(core->idle_connections(), 1u);
}

}  // namespace
}  // namespace zorvo::hybrid
