#include "zorvo/net/pool.hpp"

#include "zorvo/net/connect.hpp"

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

void ConnectionPool::return_connection(Connection connection) noexcept {
    if (max_pool_size_ == 0) return;  // closed on leaving
    {
        std::lock_guard lock(mutex_);
        if (!unusable_ && idle_.size() < max_pool_size_) {
            try {
                idle_.push_back(std::move(connection));
                return;
            } catch (...) {
                // The queue could not grow and is left as it was; stop pooling from now on.
                unusable_ = true;
            }
        }
    }
    // A connection the pool does not keep is closed as the parameter goes, after the lock.
}

bool ConnectionPool::hold_connection(Connection connection) noexcept {
    if (max_pool_size_ == 0) return false;  // closed on leaving
    std::lock_guard lock(mutex_);
    if (unusable_) return false;
    try {
        idle_.push_back(std::move(connection));
    } catch (...) {
        unusable_ = true;  // as in return_connection
        return false;
    }
    return idle_.size() > max_pool_size_;
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
