#include "zorvo/net/pool.hpp"

#include "zorvo/net/connect.hpp"

#include <limits>
#include <optional>

namespace zorvo::net {

Result<Connection, SystemError> ConnectionPool::acquire(const ConnectionTarget& target) {
    if (auto idle = take_idle()) return std::move(*idle);
    return connect_stream(target);
}

std::optional<Connection> ConnectionPool::take_idle() {
    const std::uint64_t generation = fork_generation();
    // Inherited from the parent; closed after the lock. Closing only drops this process's copy
    // of each descriptor, so the parent's connections stay up.
    std::optional<std::deque<Connection>> inherited;
    {
        std::lock_guard lock(mutex_);
        if (generation != generation_) [[unlikely]] {
            inherited.emplace().swap(idle_);
            generation_ = generation;
        }
        if (!unusable_ && !idle_.empty()) {
            Connection oldest = std::move(idle_.front());
            idle_.pop_front();
            return oldest;
        }
    }
    return std::nullopt;
}

// A connection the pool does not keep is closed as the caller's parameter goes, after the lock.
std::size_t ConnectionPool::keep_idle(Connection& connection, std::uint64_t limit) noexcept {
    if (max_pool_size_ == 0) return 0;  // pooling disabled
    std::lock_guard lock(mutex_);
    if (unusable_ || idle_.size() >= limit) return 0;
    try {
        idle_.push_back(std::move(connection));
    } catch (...) {
        // The queue could not grow and is left as it was; stop pooling from now on.
        unusable_ = true;
        return 0;
    }
    return idle_.size();
}

void ConnectionPool::return_connection(Connection connection) noexcept { keep_idle(connection, max_pool_size_); }

bool ConnectionPool::hold_connection(Connection connection) noexcept {
    return keep_idle(connection, std::numeric_limits<std::uint64_t>::max()) > max_pool_size_;
}

void ConnectionPool::trim() noexcept {
    for (;;) {
        std::optional<Connection> surplus;  // closed after the lock
        std::lock_guard lock(mutex_);
        if (idle_.size() <= max_pool_size_) return;
        surplus.emplace(std::move(idle_.front()));
        idle_.pop_front();
    }
}

std::size_t ConnectionPool::idle_count() const {
    std::lock_guard lock(mutex_);
    return idle_.size();
}

}  // namespace zorvo::net
