#pragma once

#include <optional>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

#include "zorvo/common/fork_generation.hpp"
#include "zorvo/common/result.hpp"
#include "zorvo/common/system_error.hpp"
#include "zorvo/net/connection.hpp"
#include "zorvo/net/connection_target.hpp"

namespace zorvo::net {

// A bounded first-in-first-out queue of idle connections. The mutex guards only the queue
// operation itself: connecting and closing happen outside it. Idle connections are never probed;
// a dead one shows up when the exchange on it fails.
//
// After a fork the child's pool forgets the idle connections it inherited: they are the parent's
// (the engine would answer whichever process reads first). The child closes its copies at its
// first checkout, never shuts them down, and connects afresh. A fork is assumed not to land
// inside a queue operation; the binding makes every call under the interpreter lock, and so does
// the interpreter's fork.
class ConnectionPool {
public:
    // Keeps at most `max_pool_size` idle connections; 0 disables pooling.
    explicit ConnectionPool(std::uint64_t max_pool_size) noexcept
        : max_pool_size_(max_pool_size), generation_(fork_generation()) {}

    // The connection idle the longest, or a new one.
    Result<Connection, SystemError> acquire(const ConnectionTarget& target);
    // The connection idle the longest, if there is one; never connects.
    std::optional<Connection> take_idle();

    // Keeps the connection as the newest idle one, or closes it when the pool is full.
    void return_connection(Connection connection) noexcept;
    // Keeps the connection as the newest idle one even past max_pool_size, for a caller that is
    // about to ask for connections again (an event loop between its turns); true when the pool
    // now holds more than it keeps, and trim() should follow. Closes it when pooling is disabled.
    bool hold_connection(Connection connection) noexcept;
    // Closes the idle connections past max_pool_size, the longest idle first.
    void trim() noexcept;

    std::size_t idle_count() const;
    std::uint64_t max_pool_size() const noexcept { return max_pool_size_; }

private:
    // Keeps `connection` as the newest idle one unless `limit` are idle already; the idle count
    // then, or 0 when it was not kept.
    std::size_t keep_idle(Connection& connection, std::uint64_t limit) noexcept;

    const std::uint64_t max_pool_size_;
    mutable std::mutex mutex_;
    std::deque<Connection> idle_;
    // The process generation the idle connections were opened in.
    std::uint64_t generation_;
    // Set if a queue operation ever failed half-way; the pool then stops keeping connections.
    bool unusable_ = false;
};

}  // namespace zorvo::net
