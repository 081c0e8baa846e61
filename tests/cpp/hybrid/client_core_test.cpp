#include "zorvo/hybrid/client_core.hpp"

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

namespace zorvo::hybrid {
namespace {

using shm::testing::StandardLayout;
using shm::testing::TestRegion;

constexpr std::uint64_t POOL_SIZE = 32ull << 20;
// A request whose tensor starts with this byte has its connection closed instead of answered.
constexpr std::uint8_t HANG_UP_MARK = 0xEE;

struct Connection {
    int fd;
    std::vector<std::uint8_t> received;
};

// A scripted engine in a forked process. It holds every answer until `batch` requests are
// waiting at once (or a second has passed), then answers them all, naming each request's own
// block as its result; it reports on a pipe how many requests each release found waiting and how
// many connections it accepted.
class GatheringPeer {
public:
    GatheringPeer(const TestRegion& region, std::string path, std::size_t batch) : path_(std::move(path)) {
        std::filesystem::remove(path_);
        const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        auto address = UnixAddress::from_path(path_);
        EXPECT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address->address), address->length), 0);
        EXPECT_EQ(::listen(listener, 64), 0);
        int reports[2];
        EXPECT_EQ(::pipe(reports), 0);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(reports[0]);
            serve(region, listener, reports[1], batch);
            ::_exit(0);
        }
        ::close(listener);
        ::close(reports[1]);
        reports_ = reports[0];
    }
    ~GatheringPeer() {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        ::close(reports_);
        std::filesystem::remove(path_);
    }

    // Each release's count of waiting requests, then the connections accepted so far.
    std::pair<std::vector<int>, int> report() {
        ::kill(pid_, SIGUSR1);
        std::vector<int> counts;
        for (;;) {
            std::int32_t value = 0;
            if (::read(reports_, &value, sizeof value) != sizeof value) return {counts, -1};
            if (value < 0) return {counts, -value - 1};
            counts.push_back(value);
        }
    }

private:
    struct Pending {
        int fd;
        std::array<std::uint8_t, 40> request;
    };

    static void serve(const TestRegion& region, int listener, int reports, std::size_t batch) {
        sigset_t usr1;
        sigemptyset(&usr1);
        sigaddset(&usr1, SIGUSR1);
        sigprocmask(SIG_BLOCK, &usr1, nullptr);
        std::vector<Connection> connections;
        std::vector<Pending> pending;
        std::vector<std::int32_t> released;
        int accepted = 0;
        auto first_pending = std::chrono::steady_clock::now();
        for (;;) {
            timespec none{0, 0};
            if (sigtimedwait(&usr1, nullptr, &none) == SIGUSR1) {
                released.push_back(-accepted - 1);
                ::write(reports, released.data(), released.size() * sizeof(std::int32_t));
                released.clear();
            }
            std::vector<pollfd> watched{{listener, POLLIN, 0}};
            for (const Connection& c : connections) watched.push_back({c.fd, POLLIN, 0});
            ::poll(watched.data(), watched.size(), 5);
            if (watched[0].revents & POLLIN) {
                connections.push_back({::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC), {}});
                ++accepted;
            }
            for (std::size_t i = 1; i < watched.size(); ++i) {
                if (!(watched[i].revents & (POLLIN | POLLHUP))) continue;
                Connection& c = connections[i - 1];
                std::array<std::uint8_t, 512> chunk{};
                const ssize_t n = ::recv(c.fd, chunk.data(), chunk.size(), 0);
                if (n <= 0) {  // the client closed it
                    ::close(c.fd);
                    c.fd = -1;
                    continue;
                }
                c.received.insert(c.received.end(), chunk.begin(), chunk.begin() + n);
                while (c.received.size() >= REQUEST_FRAME_SIZE) {
                    Pending request{c.fd, {}};
                    std::memcpy(request.request.data(), c.received.data() + REQUEST_FRAME_HEADER_SIZE, 40);
                    c.received.erase(c.received.begin(), c.received.begin() + REQUEST_FRAME_SIZE);
                    if (pending.empty()) first_pending = std::chrono::steady_clock::now();
                    pending.push_back(request);
                }
            }
            std::erase_if(connections, [](const Connection& c) { return c.fd < 0; });
            const bool waited_long = !pending.empty() && std::chrono::steady_clock::now() - first_pending > std::chrono::seconds(1);
            if (pending.size() < batch && !waited_long) continue;
            released.push_back(static_cast<std::int32_t>(pending.size()));
            for (const Pending& p : pending) answer(region, p, connections);
            pending.clear();
        }
    }

    static void answer(const TestRegion& region, const Pending& p, std::vector<Connection>& connections) {
        const std::uint64_t offset = load_le<std::uint64_t>(p.request.data() + 24);
        if (region.base()[offset + 80] == HANG_UP_MARK) {
            std::erase_if(connections, [&](const Connection& c) { return c.fd == p.fd; });
            ::close(p.fd);
            return;
        }
        std::array<std::uint8_t, 48> frame{};
        store_le<std::uint32_t>(frame.data() + 4, 40);
        std::memcpy(frame.data() + 8, p.request.data(), 8);  // request_id
        store_le<std::uint64_t>(frame.data() + 8 + 24, offset);
        ::send(p.fd, frame.data(), frame.size(), MSG_NOSIGNAL);
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
    auto [released, accepted] = peer.report();
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
