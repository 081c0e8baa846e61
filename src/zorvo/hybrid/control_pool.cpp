#include "zorvo/hybrid/control_pool.hpp"

#include <utility>

namespace zorvo::hybrid {

std::shared_ptr<ControlConnection> ControlPool::take() {
    {
        std::lock_guard lock(mutex_);
        if (!idle_.empty()) {
            std::shared_ptr<ControlConnection> newest = std::move(idle_.back());
            idle_.pop_back();
            return newest;
        }
    }
    return std::make_shared<ControlConnection>();
}

void ControlPool::give_back(std::shared_ptr<ControlConnection> connection) {
    if (!connection->unguarded().has_value()) return;
    std::lock_guard lock(mutex_);
    if (idle_.size() < MAX_IDLE) idle_.push_back(std::move(connection));
    // Otherwise closed as the parameter goes, after the lock.
}

void ControlPool::clear() {
    std::vector<std::shared_ptr<ControlConnection>> closing;
    {
        std::lock_guard lock(mutex_);
        closing.swap(idle_);
    }
}

std::size_t ControlPool::idle_count() const {
    std::lock_guard lock(mutex_);
    return idle_.size();
}

}  // namespace zorvo::hybrid
