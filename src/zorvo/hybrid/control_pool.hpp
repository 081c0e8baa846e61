#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "zorvo/hybrid/exchange.hpp"

namespace zorvo::hybrid {

// The control connections that no call is using. A call takes one, or a fresh unconnected one
// when none is idle, and gives it back after its exchange, so calls in flight never share a
// connection and each connection still alternates strictly between request and answer. The
// newest idle connection goes out first: a lone caller keeps using one connection.
class ControlPool {
public:
    // More idle connections than this are closed as they come back.
    static constexpr std::size_t MAX_IDLE = 64;

    ControlPool() = default;
    ControlPool(const ControlPool&) = delete;
    ControlPool& operator=(const ControlPool&) = delete;

    std::shared_ptr<ControlConnection> take();

    // Keeps the connection for the next call if it is still open; one that a failed exchange
    // closed (its answer may still be on the way) or that never connected is dropped. Only after
    // the exchange on it has ended.
    void give_back(std::shared_ptr<ControlConnection> connection);

    // Closes every idle connection: after one connection broke, the others most likely lead to
    // the same engine, gone or restarted.
    void clear();

    // For a forked child only: hands over the idle connections without the lock, which a thread
    // of the parent may have held at the fork. No other thread may use the pool afterwards.
    std::vector<std::shared_ptr<ControlConnection>> abandon() noexcept { return std::move(idle_); }

    std::size_t idle_count() const;

private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<ControlConnection>> idle_;
};

}  // namespace zorvo::hybrid
